// Sizes a tensor declares through its dims, computed the way the host's
// 64-bit integer arrays compute them: products and sums wrap modulo 2^64.
// The dims come from the model unchecked, so their product may not fit; the
// rebuild's byte total and its large-weight test must still be defined for
// such a model (the arrays themselves are checked where they are made).
#pragma once

#include <cstdint>

namespace onnx {
class GraphProto;
class TensorProto;
}  // namespace onnx

namespace tarq {

inline int64_t wrapping_mul(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

inline int64_t wrapping_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// The product of the dims (1 for none).
template <class Dims>
int64_t declared_count(const Dims& dims) {
  int64_t count = 1;
  for (int64_t d : dims) count = wrapping_mul(count, d);
  return count;
}

// One initializer's share of that total.
int64_t declared_bytes(const onnx::TensorProto& tensor);

// The byte total of the graph's initializers: the product of each one's
// dims times the size of one element (8 for a string), summed; tensors whose
// data moved to the weight cache still count (graph_core/rebuild.cc).
int64_t initializer_bytes(const onnx::GraphProto& graph);

}  // namespace tarq
