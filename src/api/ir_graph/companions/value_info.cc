#include "tarq/api/ir_graph/companions/value_info.h"

#include <onnx/onnx_pb.h>

#include <memory>
#include <string>

#include "tarq/api/ir_graph/message_owner.h"
#include "tarq/errors.h"
#include "tarq/nd_array.h"

namespace tarq {

Shape inf_shape(const onnx::ValueInfoProto& value_info, bool none) {
  Shape shape;
  const auto& type = value_info.type();
  if (!type.has_tensor_type() || !type.tensor_type().has_shape()) return shape;
  const auto& dims = type.tensor_type().shape().dim();
  shape.reserve(dims.size());
  for (const auto& d : dims) {
    if (d.has_dim_value()) {
      shape.emplace_back(d.dim_value());
    } else if (d.has_dim_param() && !none) {
      shape.emplace_back(d.dim_param());
    } else {
      shape.emplace_back(std::monostate{});
    }
  }
  return shape;
}

void inf_shape_set(onnx::ValueInfoProto& value_info, const Shape& shape, MessageOwner* park_into) {
  auto* type = value_info.mutable_type();
  if (park_into && type->value_case() != onnx::TypeProto::kTensorType &&
      type->value_case() != onnx::TypeProto::VALUE_NOT_SET) {
    // Another kind of type gives way to a tensor type: keep it for views.
    auto replaced = std::make_unique<onnx::TypeProto>();
    replaced->Swap(type);
    park_into->park(std::move(replaced));
  }
  auto* s = type->mutable_tensor_type()->mutable_shape();
  if (park_into) {
    while (!s->dim().empty()) {
      park_into->park(std::unique_ptr<google::protobuf::Message>(s->mutable_dim()->ReleaseLast()));
    }
  } else {
    s->clear_dim();
  }
  for (const auto& d : shape) {
    auto* dim = s->add_dim();
    if (const auto* v = std::get_if<int64_t>(&d)) {
      dim->set_dim_value(*v);
    } else if (const auto* p = std::get_if<std::string>(&d)) {
      dim->set_dim_param(*p);
    }
  }
}

std::string shape_text(const Shape& shape) {
  std::string out = "[";
  for (const auto& d : shape) {
    if (out.size() > 1) out += ", ";
    if (const auto* v = std::get_if<int64_t>(&d)) {
      out += std::to_string(*v);
    } else if (const auto* p = std::get_if<std::string>(&d)) {
      out += "'" + *p + "'";
    } else {
      out += "None";
    }
  }
  return out + "]";
}

bool tensor_type_present(const onnx::TypeProto_Tensor& t) {
  return t.has_elem_type() || t.has_shape() || t.ByteSizeLong() > 0;
}

bool sequence_type_present(const onnx::TypeProto_Sequence& t) {
  // Its only field, or fields this ONNX version does not know.
  return t.has_elem_type() || !t.unknown_fields().empty();
}

int32_t to_np_type(int32_t onnx_code) {
  if (onnx_code != kUndefined && !is_known_elem_type(onnx_code)) {
    throw ValueError("unknown ONNX element type " + std::to_string(onnx_code));
  }
  return onnx_code;
}

int32_t to_tensor_type(int32_t elem_type) { return to_np_type(elem_type); }

}  // namespace tarq
