// Index building: the boundary lists, the operands with their value
// information, the node index (with renaming) and the producer/consumer links.
#include <onnx/onnx_pb.h>

#include <string_view>
#include <unordered_set>

#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq {

namespace {

OperandPtr& operand_slot(OperandMap& operands, const std::string& name, const OwnerPtr& owner) {
  auto it = operands.find(name);
  if (it != operands.end()) return it.value();
  auto& slot = operands[name];
  slot = std::make_shared<Operand>();
  slot->owner = owner;
  return slot;
}

struct PairHash {
  size_t operator()(const std::pair<const Operand*, std::string_view>& p) const {
    return std::hash<std::string_view>()(p.second) * 31 + std::hash<const void*>()(p.first);
  }
};

}  // namespace

void IRGraph::build_boundary_and_operands() {
  std::vector<const onnx::ValueInfoProto*> infos;
  infos.reserve(static_cast<size_t>(graph_->input_size() + graph_->output_size() +
                                    graph_->value_info_size()));
  inputs_ = std::make_shared<NameVector>();
  inputs_with_const_ = std::make_shared<NameIndex>();
  int64_t pos = 0;
  for (const auto& vi : graph_->input()) {
    (*inputs_with_const_)[vi.name()] = pos++;
    if (!consts_->count(vi.name())) {
      inputs_->push_back(vi.name());
      infos.push_back(&vi);
    }
  }
  outputs_ = std::make_shared<NameVector>();
  for (const auto& vi : graph_->output()) {
    outputs_->push_back(vi.name());
    infos.push_back(&vi);
  }
  for (const auto& vi : graph_->value_info()) infos.push_back(&vi);

  operands_ = std::make_shared<OperandMap>();
  operands_->reserve(infos.size() + static_cast<size_t>(graph_->node_size()));
  for (const auto* vi : infos) {
    if (consts_->count(vi->name())) continue;
    Operand& op = *operand_slot(*operands_, vi->name(), model_owner_);
    const auto& type = vi->type();
    if (type.tensor_type().ByteSizeLong() > 0) {
      op.shape = inf_shape(*vi);
      op.dtype = to_np_type(type.tensor_type().elem_type());
    } else if (type.sequence_type().ByteSizeLong() > 0) {
      op.dtype = to_np_type(type.sequence_type().elem_type().tensor_type().elem_type());
    } else {
      tarqLog::e("Unknow elem_type for " + vi->name() + "!");
    }
  }
}

void IRGraph::build_node_index_and_links() {
  // Node index; the branches of If nodes join the links but not the index.
  std::vector<onnx::NodeProto*> branch_nodes;
  nodes_ = std::make_shared<NameIndex>();
  nodes_->reserve(static_cast<size_t>(graph_->node_size()));
  auto* node_list = graph_->mutable_node();
  for (int p = 0; p < node_list->size(); ++p) {
    onnx::NodeProto* node = node_list->Mutable(p);
    if (node->op_type() == "If") {
      for (auto& attr : *node->mutable_attribute()) {
        if (attr.type() != onnx::AttributeProto::GRAPH) continue;
        for (auto& sub : *attr.mutable_g()->mutable_node()) branch_nodes.push_back(&sub);
      }
    }
    std::string name =
        node->name().empty() && node->output_size() > 0 ? node->output(0) : node->name();
    if (nodes_->count(name)) name += "_" + std::to_string(p);
    if (name != node->name()) node->set_name(name);
    (*nodes_)[name] = p;
  }

  std::unordered_set<std::string_view> graph_inputs(inputs_->begin(), inputs_->end());
  // (operand, consumer name) pairs already linked: a consumer is listed once,
  // and only a node of the same name can be a repeat.
  std::unordered_set<std::pair<const Operand*, std::string_view>, PairHash> linked;
  auto link = [&](onnx::NodeProto* node) {
    for (const auto& name : node->input()) {
      if (name.empty()) continue;
      if (consts_->count(name) && !graph_inputs.count(name)) continue;
      Operand& op = *operand_slot(*operands_, name, model_owner_);
      if (!linked.emplace(&op, node->name()).second) {
        bool listed = false;
        for (const auto* c : op.outputs) {
          if (same_node(c, node)) {
            listed = true;
            break;
          }
        }
        if (listed) continue;
      }
      op.outputs.push_back(node);
    }
    for (const auto& name : node->output())
      operand_slot(*operands_, name, model_owner_)->input = node;
  };
  linked.reserve(static_cast<size_t>(node_list->size()) * 2);
  for (auto& node : *node_list) link(&node);
  for (auto* node : branch_nodes) link(node);
}

}  // namespace tarq
