// AttrValue: the value of a node attribute as the graph layer reads and
// writes it. Message alternatives are non-owning pointers into the attribute
// (or, as arguments, into the caller's message, which is copied).
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "tarq/nd_array.h"

namespace onnx {
class TensorProto;
class GraphProto;
class SparseTensorProto;
class TypeProto;
}  // namespace onnx

namespace tarq {

// Raw bytes, kept apart from text so that STRING attributes round-trip.
struct Bytes {
  std::string data;
  bool operator==(const Bytes& o) const { return data == o.data; }
};

using AttrValue =
    std::variant<std::monostate,  // absent
                 int64_t, double, std::string, Bytes, std::vector<int64_t>, std::vector<double>,
                 std::vector<std::string>, std::vector<Bytes>, const onnx::TensorProto*,
                 const onnx::GraphProto*, const onnx::SparseTensorProto*, const onnx::TypeProto*,
                 std::vector<const onnx::TensorProto*>, std::vector<const onnx::GraphProto*>,
                 std::vector<const onnx::SparseTensorProto*>, std::vector<const onnx::TypeProto*>,
                 NdArray>;

}  // namespace tarq
