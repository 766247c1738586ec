// The shape of a tensor as the compiler-facing analyses need it: nullopt
// when nothing describes it. A computed tensor whose value information holds
// no shape reads as an empty list from get_shape, which here means unknown,
// not a scalar.
#pragma once

#include <optional>
#include <string>

#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq {

std::optional<Shape> known_shape(const IRGraph& g, const std::string& name);

}  // namespace tarq
