// Constant nodes and quantization annotations: the value of a tensor a
// Constant node produces, the folding of Constant nodes into initializers,
// and the lookup of annotation entries.
#include <onnx/onnx_pb.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "../graph_core/parking.h"
#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

// The tensor a Constant node holds in its first attribute.
const onnx::TensorProto& constant_value(const onnx::NodeProto& node) {
  if (node.attribute_size() == 0 || node.attribute(0).type() != onnx::AttributeProto::TENSOR) {
    throw ValueError("Constant node '" + node.name() +
                     "' does not hold a tensor in its first attribute");
  }
  return node.attribute(0).t();
}

}  // namespace

std::optional<NdArray> IRGraph::get_constant(const std::string& name) const {
  auto op = operand(name);
  if (!op || !op->input || op->input->op_type() != "Constant") return std::nullopt;
  return helpers::to_array(constant_value(*op->input));
}

void IRGraph::constant_to_initializer() {
  onnx::GraphProto& graph = *model_->mutable_graph();
  std::unordered_set<std::string> outputs;
  for (const auto& o : graph.output()) outputs.insert(o.name());
  // Every node is checked before the model changes.
  std::vector<int> folded;
  for (int i = 0; i < graph.node_size(); ++i) {
    const auto& node = graph.node(i);
    if (node.op_type() != "Constant") continue;
    if (node.output_size() == 0) {
      throw ValueError("Constant node '" + node.name() + "' has no output");
    }
    if (outputs.count(node.output(0))) continue;
    constant_value(node);
    folded.push_back(i);
  }
  for (int i : folded) {
    const auto& node = graph.node(i);
    onnx::TensorProto value = constant_value(node);
    value.set_name(node.output(0));
    Shape dims(value.dims().begin(), value.dims().end());
    *graph.add_input() = helpers::make_tensor_value_info(value.name(), value.data_type(), dims);
    *graph.add_initializer() = std::move(value);
  }
  // In one pass; views of the nodes keep them, parked.
  erase_parked(graph.mutable_node(), folded, model_owner_.get());
  rebuild();
}

std::string IRGraph::get_quant_ann(const std::string& name, const std::string& attr_name) const {
  for (const auto& ann : model_->graph().quantization_annotation()) {
    if (ann.tensor_name() != name) continue;
    for (const auto& kv : ann.quant_parameter_tensor_names()) {
      if (kv.key() == attr_name) return kv.value();
    }
  }
  return "";
}

}  // namespace tarq
