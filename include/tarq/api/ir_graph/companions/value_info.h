// Value-information and element-type utilities.
#pragma once

#include <cstdint>
#include <string>

#include "tarq/api/ir_graph/types.h"

namespace onnx {
class ValueInfoProto;
class TypeProto_Tensor;
class TypeProto_Sequence;
}  // namespace onnx

namespace tarq {

class MessageOwner;

// The tensor shape of a value info, one Dim per dimension: an integer for a
// fixed size, a string for a symbolic one, empty for neither. With `none`,
// every dimension without a fixed size is empty. No shape gives an empty list.
Shape inf_shape(const onnx::ValueInfoProto& value_info, bool none = false);
// Writes `shape` as the value info's tensor shape, replacing its dimensions
// (and a type other than a tensor type). The messages it replaces are parked
// with `park_into`, the owner of the value info's tree, when given (views may
// refer to them); otherwise they are freed or reused.
void inf_shape_set(onnx::ValueInfoProto& value_info, const Shape& shape,
                   MessageOwner* park_into = nullptr);

// A shape as the messages of the graph layer write it: [1, 'N', None].
std::string shape_text(const Shape& shape);

// True when a tensor type serializes to more than nothing: the rebuild's test
// for "has a type". The field tests answer it for the usual value info
// without sizing the message.
bool tensor_type_present(const onnx::TypeProto_Tensor& tensor_type);
// The same test for a sequence type, without sizing nested element types.
bool sequence_type_present(const onnx::TypeProto_Sequence& sequence_type);

// ONNX element-type code -> array element type. The codes coincide, so this
// only validates: UNDEFINED (0) stays 0 (absent); an unknown code throws
// ValueError.
int32_t to_np_type(int32_t onnx_code);
// Array element type -> ONNX element-type code (validating likewise).
int32_t to_tensor_type(int32_t elem_type);

}  // namespace tarq
