// The ONNX reference helpers, with the behaviour of the Python `onnx`
// package's `helper`, `numpy_helper` and `external_data_helper` functions of
// the same names (which the tests use as oracles).
//
// Ownership: functions returning messages return new, caller-owned messages.
// get_attribute_value returns pointers into the attribute it was given; they
// are valid while that attribute is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarq/api/ir_graph/attr_value.h"
#include "tarq/api/ir_graph/types.h"
#include "tarq/nd_array.h"

namespace onnx {
class AttributeProto;
class GraphProto;
class ModelProto;
class TensorProto;
class ValueInfoProto;
}  // namespace onnx

namespace tarq::helpers {

// A tensor named `name` holding `vals` (converted to `data_type`) in the
// typed field the element type uses, or in raw_data when `raw` is true.
// Throws ValueError when the value count does not match `dims`.
onnx::TensorProto make_tensor(const std::string& name, int32_t data_type,
                              const Extents& dims, const NdArray& vals,
                              bool raw = false);
// A tensor whose raw_data is `raw_bytes` as given.
onnx::TensorProto make_tensor_raw(const std::string& name, int32_t data_type,
                                  const Extents& dims, std::string raw_bytes);

// Infers the attribute type from the value (an empty list needs attr_type).
// Throws ValueError for a value it cannot encode.
onnx::AttributeProto make_attribute(const std::string& key, const AttrValue& value,
                                    const std::optional<std::string>& doc_string = {},
                                    std::optional<int32_t> attr_type = {});

// The Python helper reads attribute values back: STRING as bytes, lists as
// lists, messages by reference. Throws ValueError for an UNDEFINED attribute.
AttrValue get_attribute_value(const onnx::AttributeProto& attr);

// A tensor value info; `shape` absent leaves the shape unset, a Dim without a
// value leaves that dimension empty. shape_denotation, when given, must have
// one entry per dimension.
onnx::ValueInfoProto make_tensor_value_info(
    const std::string& name, int32_t elem_type, const std::optional<Shape>& shape,
    const std::string& doc_string = "",
    const std::optional<std::vector<std::string>>& shape_denotation = {});

struct ModelOptions {
  std::optional<int64_t> ir_version;  // default: the library's IR version
  // (domain, version) pairs; default: the default domain at the newest opset.
  std::optional<std::vector<std::pair<std::string, int64_t>>> opset_imports;
  std::string producer_name, producer_version, domain, doc_string;
  std::optional<int64_t> model_version;
};
onnx::ModelProto make_model(const onnx::GraphProto& graph, const ModelOptions& options = {});

// The tensor's values as an array of its element type and dims. Data kept in
// an external file is read relative to `base_dir` (see
// load_external_data_for_tensor) without changing the tensor.
NdArray to_array(const onnx::TensorProto& tensor, const std::string& base_dir = "");
// A tensor holding the array as raw_data (string arrays in string_data).
onnx::TensorProto from_array(const NdArray& array, const std::optional<std::string>& name = {});

// True when the tensor's data_location is EXTERNAL.
bool uses_external_data(const onnx::TensorProto& tensor);

// Reads the tensor's external data into raw_data. The location must be a
// relative path that stays inside `base_dir` (after resolving links) and name
// a regular file; offset and length must lie within it. Throws FileError
// otherwise, leaving the tensor unchanged. Like the Python helper, it leaves
// external_data and data_location as they are.
void load_external_data_for_tensor(onnx::TensorProto& tensor, const std::string& base_dir);

}  // namespace tarq::helpers
