// The default attribute table: per operator type, the values that get_attr
// falls back on when a node leaves an attribute out.
//
// Built once, on first use, and constant for the life of the process; shared
// by every IRGraph. The nine reduction types (ReduceL1 ... ReduceSumSquare)
// map to one and the same entry, reduce_attr().
#pragma once

#include <tsl/ordered_map.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tarq/api/ir_graph/attr_value.h"

namespace tarq {

// Attribute name -> default, in definition order. std::monostate stands for
// "no fixed default": get_attr computes it from the node's tensors
// (kernel_shape from the weight shape).
using AttrDefaults = tsl::ordered_map<std::string, AttrValue>;

// One operator's defaults: flat (they hold whatever the model's opset) or
// versioned (each map holds from its opset version on). Never both.
struct DefaultEntry {
  AttrDefaults flat;
  std::vector<std::pair<int64_t, AttrDefaults>> versions;  // ascending by version
  bool versioned() const { return !versions.empty(); }
};
using DefaultEntryPtr = std::shared_ptr<const DefaultEntry>;
// Operator type -> entry, in definition order.
using DefaultTable = tsl::ordered_map<std::string, DefaultEntryPtr>;

const DefaultTable& def_attr();
// { 11: {axes = [], keepdims = 1}, 18: {keepdims = 1, noop_with_empty_axes = 0} }
const DefaultEntryPtr& reduce_attr();

}  // namespace tarq
