// Operand wiring: records for the tensors of nodes about to be inserted, and
// the rewiring of one input or output slot of a node.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../graph_core/host_calls.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

bool lists(const google::protobuf::RepeatedPtrField<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Keeps a node of another model alive with the record that names it.
void remember(Operand& op, const IRGraph::NodeRef& ref, const OwnerPtr& graph_owner) {
  if (ref.node && ref.owner && ref.owner != graph_owner)
    op.foreign.emplace_back(ref.node, ref.owner);
}

// The first node of the list that writes `name` (counted among the record's
// writers), or null.
onnx::NodeProto* first_writer(google::protobuf::RepeatedPtrField<onnx::NodeProto>& list,
                              const std::string& name, Operand& op) {
  for (auto& n : list) {
    if (lists(n.output(), name)) {
      ++op.writers;
      return &n;
    }
  }
  return nullptr;
}

}  // namespace

void IRGraph::_add_operand(const std::string& name, const NodeRef& i_node,
                           std::vector<NodeRef>& o_nodes) {
  require_current_tables("_add_operand");
  if (name.empty() || operands_->count(name) || consts_->count(name)) return;
  OperandPtr op = ensure_operand(name);
  prepared_.push_back(name);
  NodeRef producer = i_node;
  auto* list = graph_->mutable_node();
  if (!producer.node) producer.node = first_writer(*list, name, *op);
  op->input = producer.node;
  remember(*op, producer, graph_owner_);
  if (o_nodes.empty()) {
    for (auto& n : *list) {
      for (const auto& input : n.input()) {
        if (!input.empty() && input == name) o_nodes.push_back({&n, nullptr});
      }
    }
  }
  for (const auto& o : o_nodes) {
    op->outputs.push_back(o.node);
    remember(*op, o, graph_owner_);
  }
  derived_stale_ = true;
}

void IRGraph::_add_new_operands(const NodeRef& node) {
  // Names copied: a record may be made for a name of the node itself.
  const std::vector<std::string> inputs(node.node->input().begin(), node.node->input().end());
  const std::vector<std::string> outputs(node.node->output().begin(), node.node->output().end());
  for (const auto& input : inputs) {
    if (input.empty()) continue;
    std::vector<NodeRef> readers{node};
    _add_operand(input, NodeRef{}, readers);
  }
  for (const auto& output : outputs) {
    std::vector<NodeRef> readers;
    _add_operand(output, node, readers);
  }
}

void IRGraph::_add_new_operands2(const std::vector<NodeRef>& nodes,
                                 const std::vector<NodeRef>& near_nodes) {
  require_current_tables("_add_new_operands2");
  std::vector<NodeRef> group(nodes);
  group.insert(group.end(), near_nodes.begin(), near_nodes.end());
  auto* list = graph_->mutable_node();
  for (const auto& nod : nodes) {
    for (const auto& inp : nod.node->input()) {
      if (inp.empty() || operands_->count(inp) || consts_->count(inp)) continue;
      OperandPtr op = ensure_operand(inp);
      prepared_.push_back(inp);
      NodeRef producer;
      for (const auto& n : group) {
        if (lists(n.node->output(), inp)) {
          producer = n;
          break;
        }
      }
      if (!producer.node) producer.node = first_writer(*list, inp, *op);
      op->input = producer.node;
      remember(*op, producer, graph_owner_);
      op->outputs = {nod.node};
      remember(*op, nod, graph_owner_);
    }
    for (const auto& out : nod.node->output()) {
      if (operands_->count(out)) continue;
      OperandPtr op = ensure_operand(out);
      prepared_.push_back(out);
      op->input = nod.node;
      remember(*op, nod, graph_owner_);
      for (const auto& n : group) {
        if (lists(n.node->input(), out) &&
            std::find(op->outputs.begin(), op->outputs.end(), n.node) == op->outputs.end()) {
          op->outputs.push_back(n.node);
          remember(*op, n, graph_owner_);
        }
      }
      if (op->outputs.empty()) {
        for (auto& n : *list) {
          if (lists(n.input(), out)) op->outputs.push_back(&n);
        }
      }
    }
  }
  derived_stale_ = true;
}

void IRGraph::set_input(onnx::NodeProto& node, int64_t idx, const std::string& name,
                        OwnerPtr node_owner) {
  rewire(node, idx, name, std::move(node_owner), false);
}

void IRGraph::set_output(onnx::NodeProto& node, int64_t idx, const std::string& name,
                         OwnerPtr node_owner) {
  rewire(node, idx, name, std::move(node_owner), true);
}

void IRGraph::rewire(onnx::NodeProto& node, int64_t idx, const std::string& name,
                     OwnerPtr node_owner, bool output) {
  const char* operation = output ? "set_output" : "set_input";
  if (!node_owner) node_owner = model_owner_;
  record_change(node, node_owner);
  auto* slots = output ? node.mutable_output() : node.mutable_input();
  if (idx < 0 || idx >= slots->size()) {
    throw IndexError(std::string(operation) + ": the node has no slot " + std::to_string(idx) +
                     " (it has " + std::to_string(slots->size()) + ")");
  }
  const std::string old = slots->Get(static_cast<int>(idx));
  // Nodes of another model are not linked here.
  const bool ours = node_owner == graph_owner_ && !rebuilding_ && graph_ &&
                    graph_ == &model_->graph() && graph_owner_ == model_owner_;
  *slots->Mutable(static_cast<int>(idx)) = name;
  if (!ours || old == name) return;
  const int64_t pos = top_level_position(&node);
  if (pos >= 0) {
    if (output) {
      unlink_write(&node, old);
      link_write(&node, pos, name);
    } else {
      unlink_read(&node, old);
      link_read(&node, pos, name);
    }
  } else {
    // Perhaps a node of an If branch: relinked by a walk over the model.
    relink_names({old, name});
  }
  finish_edit();
}

}  // namespace tarq
