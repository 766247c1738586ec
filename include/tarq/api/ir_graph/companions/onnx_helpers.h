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

namespace tarq {
class MessageOwner;
}

namespace onnx {
class AttributeProto;
class GraphProto;
class ModelProto;
class TensorProto;
class ValueInfoProto;
}  // namespace onnx

namespace tarq::helpers {

// A tensor named `name` holding `vals` (converted to `data_type`, float8
// types saturating, FLOAT8E8M0 rounding up) in the typed field the element
// type uses, sub-byte types packed. With `raw`, the bytes of `vals` go to
// raw_data as they are (sub-byte types packed from one byte per element).
// `vals` is read flat; its shape is ignored. Throws ValueError when the value
// count does not match `dims`, for an unknown data_type, and for STRING with
// `raw` or with non-string values.
onnx::TensorProto make_tensor(const std::string& name, int32_t data_type, const Extents& dims,
                              const NdArray& vals, bool raw = false);
// A tensor whose raw_data is `raw_bytes` as given. Throws ValueError when the
// byte count does not match `dims` (packed size for sub-byte types).
onnx::TensorProto make_tensor_raw(const std::string& name, int32_t data_type, const Extents& dims,
                                  std::string raw_bytes);

// Infers the attribute type from the value (an empty list needs attr_type);
// a given attr_type must agree with it, except that integers may be given as
// FLOATS and an empty list may take any list type. An NdArray value must be
// one-dimensional: integers give INTS, FLOAT/DOUBLE/FLOAT16 give FLOATS,
// strings STRINGS. Messages are copied in. Throws ValueError for a value it
// cannot encode (std::monostate, a null message, a mismatching attr_type).
onnx::AttributeProto make_attribute(const std::string& key, const AttrValue& value,
                                    const std::optional<std::string>& doc_string = {},
                                    std::optional<int32_t> attr_type = {});

// The attribute's value: STRING as Bytes, lists as vectors, messages by
// reference. UNDEFINED gives std::monostate. Throws ValueError for a
// reference attribute (ref_attr_name set) and an unknown attribute type.
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
  // (domain, version) pairs, each import with both fields set; default: one
  // import of the default domain at the newest released opset (version only).
  std::optional<std::vector<std::pair<std::string, int64_t>>> opset_imports;
  // Set on the model when not empty.
  std::string producer_name, producer_version, domain, doc_string;
  std::optional<int64_t> model_version;
};
// A model around a copy of `graph`.
onnx::ModelProto make_model(const onnx::GraphProto& graph, const ModelOptions& options = {});

// The tensor's values as a new writable array of its element type and dims,
// from raw_data when present, else from the typed field. Data kept in an
// external file is read relative to `base_dir` through read_external_data,
// without changing the tensor. Throws ValueError for a segment, an UNDEFINED
// or unknown data type, negative dims, and data whose size does not match the
// dims (packed sub-byte data may be longer, the excess being ignored as the
// Python helper does, but not shorter); FileError for external data that
// cannot be read safely.
NdArray to_array(const onnx::TensorProto& tensor, const std::string& base_dir = "");
// A tensor holding the array as raw_data (string arrays in string_data).
onnx::TensorProto from_array(const NdArray& array, const std::optional<std::string>& name = {});

// True when the tensor's data_location is EXTERNAL.
bool uses_external_data(const onnx::TensorProto& tensor);

// The bytes of the tensor's external data (the `location`, `offset` and
// `length` entries of external_data; others are ignored). The location must
// be a non-empty relative path naming a regular file that is not a symbolic
// link and lies inside `base_dir` ("" is the current directory) once the
// links of its directories are resolved; offset and length must lie within
// the file (no length: up to its end). Throws FileError otherwise, and
// ValueError for an offset or length that is not a non-negative integer.
std::string read_external_data(const onnx::TensorProto& tensor, const std::string& base_dir);

// Reads the tensor's external data (see read_external_data) into raw_data;
// then, like the Python helper, sets data_location to DEFAULT and clears
// external_data. The removed external_data entries are parked in `park_into`
// when given (see MessageOwner), else freed. On failure it throws and leaves
// the tensor unchanged.
void load_external_data_for_tensor(onnx::TensorProto& tensor, const std::string& base_dir,
                                   MessageOwner* park_into = nullptr);

}  // namespace tarq::helpers
