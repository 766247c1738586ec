#include "shape_copy.h"

#include <onnx/onnx_pb.h>

#include <memory>

namespace tarq {

OwnerPtr shape_copy(onnx::ModelProto& model) {
  auto copy = std::make_unique<onnx::ModelProto>();
  if (!model.has_graph()) {
    *copy = model;
    return std::make_shared<MessageOwner>(std::move(copy));
  }
  auto* inits = model.mutable_graph()->mutable_initializer();
  google::protobuf::RepeatedPtrField<onnx::TensorProto> aside;
  {
    // Puts the list back however the copy ends.
    struct Restore {
      google::protobuf::RepeatedPtrField<onnx::TensorProto>* inits;
      google::protobuf::RepeatedPtrField<onnx::TensorProto>* aside;
      ~Restore() { inits->Swap(aside); }
    } restore{inits, &aside};
    inits->Swap(&aside);
    *copy = model;
  }
  auto* to = copy->mutable_graph()->mutable_initializer();
  to->Reserve(inits->size());
  for (const auto& t : *inits) {
    if (t.ByteSizeLong() <= kShapeCopyDataLimit) {
      *to->Add() = t;
      continue;
    }
    auto* light = to->Add();
    light->set_name(t.name());
    light->set_data_type(t.data_type());
    *light->mutable_dims() = t.dims();
  }
  return std::make_shared<MessageOwner>(std::move(copy));
}

}  // namespace tarq
