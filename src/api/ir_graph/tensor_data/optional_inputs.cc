// Optional operator inputs: the value a node gives, or the standard default of
// that input when the node leaves it out.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

template <class T>
NdArray scalar(int32_t type, T value) {
  NdArray a(type, {});
  std::memcpy(a.mutable_data(), &value, sizeof(T));
  return a;
}

NdArray int64_vector(std::vector<int64_t> values) {
  NdArray a(kInt64, {static_cast<int64_t>(values.size())});
  if (!values.empty())
    std::memcpy(a.mutable_data(), values.data(), values.size() * sizeof(int64_t));
  return a;
}

std::vector<int64_t> iota(int64_t n) {
  std::vector<int64_t> v(static_cast<size_t>(std::max<int64_t>(n, 0)));
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int64_t>(i);
  return v;
}

template <class T>
NdArray limit(int32_t type, bool highest) {
  return scalar<T>(type,
                   highest ? std::numeric_limits<T>::max() : std::numeric_limits<T>::lowest());
}

// The lowest or highest finite value of an element type, as a scalar of it.
NdArray finite_limit(int32_t type, bool highest) {
  const double sign = highest ? 1.0 : -1.0;
  switch (type) {
    case kFloat:
      return limit<float>(type, highest);
    case kDouble:
      return limit<double>(type, highest);
    // Narrow floats: their largest finite value, exact in double.
    case kFloat16:
      return scalar<double>(kDouble, sign * 65504.0).astype(type);
    case kBfloat16:
      return scalar<double>(kDouble, sign * 3.3895313892515355e38).astype(type);
    case kFloat8e4m3fn:
      return scalar<double>(kDouble, sign * 448.0).astype(type);
    case kFloat8e4m3fnuz:
      return scalar<double>(kDouble, sign * 240.0).astype(type);
    case kFloat8e5m2:
    case kFloat8e5m2fnuz:
      return scalar<double>(kDouble, sign * 57344.0).astype(type);
    case kInt8:
      return limit<int8_t>(type, highest);
    case kUint8:
      return limit<uint8_t>(type, highest);
    case kInt16:
      return limit<int16_t>(type, highest);
    case kUint16:
      return limit<uint16_t>(type, highest);
    case kInt32:
      return limit<int32_t>(type, highest);
    case kUint32:
      return limit<uint32_t>(type, highest);
    case kInt64:
      return limit<int64_t>(type, highest);
    case kUint64:
      return limit<uint64_t>(type, highest);
    default:
      throw ValueError("Clip has no default limit for element type " + elem_type_name(type));
  }
}

bool truthy(const AttrValue& v) {
  if (const auto* i = std::get_if<int64_t>(&v)) return *i != 0;
  if (const auto* d = std::get_if<double>(&v)) return *d != 0;
  return false;
}

}  // namespace

IRGraph::ConstRead IRGraph::get_const_optional(const onnx::NodeProto& node, int64_t idx,
                                               bool to_array, bool ref) {
  // Copies: reads below may run host code.
  const std::string op_type = node.op_type();
  std::vector<std::string> inputs(node.input().begin(), node.input().end());
  // Positions count from the end when negative, as in a Python list.
  const auto count = static_cast<int64_t>(inputs.size());
  if (idx < -count) {
    throw IndexError("input " + std::to_string(idx) + " of node '" + node.name() +
                     "' is out of range (" + std::to_string(count) + " inputs)");
  }
  const int64_t at = idx < 0 ? idx + count : idx;
  const std::string name = at < count ? inputs[static_cast<size_t>(at)] : "";
  if (!name.empty()) {
    ConstRead ret = get_const(name, to_array, ref);
    if (!std::holds_alternative<std::monostate>(ret)) return ret;
  }

  auto shape_of_input = [&](size_t i) {
    if (i >= inputs.size()) {
      throw IndexError("node '" + node.name() + "' (" + op_type + ") has no input " +
                       std::to_string(i) + " to take the default of input " + std::to_string(idx) +
                       " from");
    }
    auto shape = get_shape(inputs[i]);
    if (!shape) {
      throw ValueError("the default of input " + std::to_string(idx) + " of '" + node.name() +
                       "' needs the shape of '" + inputs[i] + "', which is unknown");
    }
    return *shape;
  };
  auto rank_of_input0 = [&] { return static_cast<int64_t>(shape_of_input(0).size()); };

  if (op_type == "Slice") {
    // The length of `starts`, read whatever input is asked for.
    const Shape starts = shape_of_input(1);
    const auto* n = starts.empty() ? nullptr : std::get_if<int64_t>(&starts[0]);
    if (!n) {
      throw ValueError("the defaults of '" + node.name() + "' need the length of '" + inputs[1] +
                       "', which is unknown");
    }
    if (idx == 3) return int64_vector(iota(*n));
    if (idx == 4)
      return int64_vector(std::vector<int64_t>(static_cast<size_t>(std::max<int64_t>(*n, 0)), 1));
  } else if (std::find(REDUCE_OPS.begin(), REDUCE_OPS.end(), op_type) != REDUCE_OPS.end()) {
    if (idx == 1) {
      if (truthy(get_attr(node, "noop_with_empty_axes"))) return NdArray(kDouble, {0});
      return int64_vector(iota(rank_of_input0()));
    }
  } else if (op_type == "Split") {
    if (idx == 1) return NdArray(kDouble, {0});
  } else if (op_type == "Pad") {
    if (idx == 2) return scalar<int64_t>(kInt64, 0);
    if (idx == 3) return int64_vector(iota(rank_of_input0()));
  } else if (op_type == "Clip") {
    if (idx == 1 || idx == 2) {
      if (inputs.empty()) {
        throw IndexError("Clip node '" + node.name() + "' has no input to take its type from");
      }
      return finite_limit(get_dtype(inputs[0]), idx == 2);
    }
  } else if (op_type == "Dropout") {
    if (idx == 1) return scalar<double>(kDouble, 0.5);
    if (idx == 2) return scalar<uint8_t>(kBool, 0);
  }
  return {};
}

}  // namespace tarq
