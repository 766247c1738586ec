// make_tensor_value_info and make_model.
#include <onnx/defs/schema.h>
#include <onnx/onnx_pb.h>

#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/errors.h"

namespace tarq::helpers {

onnx::ValueInfoProto make_tensor_value_info(
    const std::string& name, int32_t elem_type, const std::optional<Shape>& shape,
    const std::string& doc_string,
    const std::optional<std::vector<std::string>>& shape_denotation) {
  onnx::ValueInfoProto vi;
  vi.set_name(name);
  if (!doc_string.empty()) vi.set_doc_string(doc_string);
  auto* tensor_type = vi.mutable_type()->mutable_tensor_type();
  tensor_type->set_elem_type(elem_type);
  if (!shape) return vi;

  const bool denote = shape_denotation && !shape_denotation->empty();
  if (denote && shape_denotation->size() != shape->size()) {
    throw ValueError("value info '" + name + "': shape_denotation has " +
                     std::to_string(shape_denotation->size()) + " entries for " +
                     std::to_string(shape->size()) + " dimensions");
  }
  // An empty shape is still a shape (a scalar), unlike no shape at all.
  auto* out = tensor_type->mutable_shape();
  for (size_t i = 0; i < shape->size(); ++i) {
    auto* dim = out->add_dim();
    const Dim& d = (*shape)[i];
    if (const auto* v = std::get_if<int64_t>(&d)) {
      dim->set_dim_value(*v);
    } else if (const auto* p = std::get_if<std::string>(&d)) {
      dim->set_dim_param(*p);
    }
    if (denote) dim->set_denotation((*shape_denotation)[i]);
  }
  return vi;
}

onnx::ModelProto make_model(const onnx::GraphProto& graph, const ModelOptions& options) {
  onnx::ModelProto model;
  model.set_ir_version(options.ir_version.value_or(onnx::IR_VERSION));
  model.mutable_graph()->CopyFrom(graph);
  if (options.opset_imports) {
    for (const auto& [domain, version] : *options.opset_imports) {
      auto* imp = model.add_opset_import();
      imp->set_domain(domain);
      imp->set_version(version);
    }
  } else {
    const auto& latest =
        onnx::OpSchemaRegistry::DomainToVersionRange::Instance().LastReleaseVersionMap();
    model.add_opset_import()->set_version(latest.at(onnx::ONNX_DOMAIN));
  }
  if (!options.producer_name.empty()) model.set_producer_name(options.producer_name);
  if (!options.producer_version.empty()) model.set_producer_version(options.producer_version);
  if (!options.domain.empty()) model.set_domain(options.domain);
  if (!options.doc_string.empty()) model.set_doc_string(options.doc_string);
  if (options.model_version) model.set_model_version(*options.model_version);
  return model;
}

}  // namespace tarq::helpers
