// Small value types shared by the graph layer.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace tarq {

// One tensor dimension: a fixed size, a symbolic name, or neither.
using Dim = std::variant<std::monostate, int64_t, std::string>;
// A tensor shape as the value information holds it; empty for a scalar or an
// unknown rank.
using Shape = std::vector<Dim>;

}  // namespace tarq
