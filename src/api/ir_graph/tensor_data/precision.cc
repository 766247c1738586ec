// Precision: FLOAT16 and DOUBLE become FLOAT wherever the model states an
// element type.
//
// The weight cache and nodes_chg may run host code: the model's lists are
// walked by position and read again after every such call.
#include <onnx/onnx_pb.h>

#include <string>
#include <variant>
#include <vector>

#include "../graph_core/declared_size.h"
#include "../graph_core/host_calls.h"
#include "../graph_core/verify_wanted.h"
#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

bool narrowed(int64_t type) { return type == kFloat16 || type == kDouble; }

}  // namespace

void IRGraph::convert_to_fp32() {
  // Host code runs below (the weight cache, nodes_chg): the model stays alive
  // meanwhile, and each write first checks that it is still the graph's.
  const OwnerPtr kept = model_owner_;
  // Every Constant and ConstantOfShape value is checked before anything
  // changes (get_attr fails for a Constant without one).
  for (const auto& node : model_->graph().node()) {
    if (node.op_type() != "Constant" && node.op_type() != "ConstantOfShape") continue;
    if (!std::holds_alternative<const onnx::TensorProto*>(get_attr(node, "value"))) {
      throw ValueError(node.op_type() + " node '" + node.name() +
                       "' has no value tensor to convert to FLOAT");
    }
  }

  // Initializers: the cached array, or the tensor's own data as FLOAT raw
  // bytes.
  for (int i = 0; i < model_->graph().initializer_size(); ++i) {
    if (!narrowed(model_->graph().initializer(i).data_type())) continue;
    const std::string name = model_->graph().initializer(i).name();
    const auto cache = initializer_dat;
    const bool cached = cache && !cache->empty() && cache->contains(name);
    if (cached) {
      NdArray converted = cache->get(name).astype(kFloat);
      converted.set_readonly(true);
      cache->set(name, std::move(converted));
    }
    still_same_model(*this, kept, "convert_to_fp32");
    if (i >= model_->graph().initializer_size()) break;
    onnx::TensorProto& t = *model_->mutable_graph()->mutable_initializer(i);
    // Host code may have moved the list: convert only what is still there.
    if (t.name() != name || !narrowed(t.data_type())) continue;
    if (cached) {
      t.set_data_type(kFloat);
      continue;
    }
    NdArray converted = tensor_array(t).astype(kFloat);
    onnx::TensorProto encoded = helpers::from_array(converted, name);
    release_viewed_bytes(kept.get(), &t);
    t.clear_float_data();
    t.clear_int32_data();
    t.clear_int64_data();
    t.clear_double_data();
    t.clear_uint64_data();
    t.set_raw_data(std::move(*encoded.mutable_raw_data()));
    t.set_data_type(kFloat);
  }

  n_bytes = initializer_bytes(model_->graph());

  // Value information, and the operands it describes.
  std::vector<std::string> changed;
  auto retype = [&](google::protobuf::RepeatedPtrField<onnx::ValueInfoProto>* list) {
    for (auto& vi : *list) {
      if (!vi.type().has_tensor_type() || !narrowed(vi.type().tensor_type().elem_type())) continue;
      vi.mutable_type()->mutable_tensor_type()->set_elem_type(kFloat);
      changed.push_back(vi.name());
    }
  };
  onnx::GraphProto& graph = *model_->mutable_graph();
  retype(graph.mutable_input());
  retype(graph.mutable_output());
  retype(graph.mutable_value_info());
  for (const auto& name : changed) {
    if (auto op = operand(name)) op->dtype = kFloat;
  }

  // Nodes: Cast targets and Constant values. set_attr may run host code
  // (nodes_chg): each node is found again by position.
  for (int i = 0; i < model_->graph().node_size(); ++i) {
    still_same_model(*this, kept, "convert_to_fp32");
    onnx::NodeProto* node = model_->mutable_graph()->mutable_node(i);
    const std::string op_type = node->op_type();
    if (op_type == "Cast") {
      const AttrValue to = get_attr(*node, "to");
      const auto* code = std::get_if<int64_t>(&to);
      if (code && narrowed(*code)) set_attr(*node, "to", int64_t{kFloat});
    } else if (op_type == "Constant" || op_type == "ConstantOfShape") {
      const AttrValue value = get_attr(*node, "value");
      const auto* const* tensor = std::get_if<const onnx::TensorProto*>(&value);
      // A value removed by host code meanwhile is left alone.
      if (!tensor || !narrowed((*tensor)->data_type())) continue;
      NdArray converted = helpers::to_array(**tensor).astype(kFloat);
      onnx::TensorProto fresh =
          helpers::make_tensor((*tensor)->name(), kFloat, converted.shape(), converted);
      set_attr(*node, "value", &fresh);
    }
  }
  verify_if_wanted(*this);
}

}  // namespace tarq
