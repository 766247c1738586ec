// Producer and consumer links after an edit: the one place of the core that
// changes them. Every function here leaves the links of the names it touches
// exactly as a rebuild of the current model would make them:
// - consumers in the rebuild's walk order (top-level nodes by position, then
//   the nodes of If branches), each node once;
// - the producer is the last writer in that order; `writers` counts them;
// - a record that no node reads or writes and no value information declares
//   leaves the table.
// A top-level node is placed in a consumer list by binary search over the
// positions of the top-level consumers already listed, so linking it costs
// a few lookups per name. Names that If-branch nodes read or write, and a
// producer that leaves while another node still writes the name, are
// relinked by one walk over the model.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "../graph_core/verify_wanted.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

void IRGraph::require_current_tables(const char* operation) const {
  if (rebuilding_) {
    throw ValueError(std::string(operation) + " cannot run while this graph's rebuild is running");
  }
  if (!graph_ || !model_->has_graph() || graph_ != &model_->graph() ||
      graph_owner_ != model_owner_ || nodes_->size() > static_cast<size_t>(graph_->node_size())) {
    throw ValueError(std::string(operation) +
                     ": the index tables describe an earlier model; call rebuild() first");
  }
}

int64_t IRGraph::top_level_position(const onnx::NodeProto* node) const {
  auto it = nodes_->find(node->name());
  if (it == nodes_->end()) return -1;
  const int64_t pos = it->second;
  if (pos < 0 || pos >= graph_->node_size() || &graph_->node(static_cast<int>(pos)) != node) {
    return -1;
  }
  return pos;
}

namespace {

bool reads_const(const NameIndex& consts, const std::string& name) {
  return name.empty() || consts.count(name) != 0;
}

}  // namespace

void IRGraph::link_read(onnx::NodeProto* node, int64_t pos, const std::string& name) {
  if (reads_const(*consts_, name)) return;
  OperandPtr op = ensure_operand(name);
  auto& outs = op->outputs;
  // A record prepared for this node before it was stored lists the
  // caller's copy: the stored node takes its place.
  outs.erase(std::remove_if(outs.begin(), outs.end(),
                            [&](const onnx::NodeProto* o) {
                              return o != node && o->name() == node->name() &&
                                     top_level_position(o) < 0 && same_node(o, node);
                            }),
             outs.end());
  // Top-level consumers stand first, by position.
  size_t lo = 0, hi = outs.size();
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    const int64_t q = top_level_position(outs[mid]);
    if (q >= 0 && q < pos) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == outs.size() || outs[lo] != node) {
    outs.insert(outs.begin() + static_cast<std::ptrdiff_t>(lo), node);
  }
}

void IRGraph::link_write(onnx::NodeProto* node, int64_t pos, const std::string& name) {
  OperandPtr op = ensure_operand(name);
  // With no linked writer, whatever the record names (a node prepared for
  // insertion) gives way; otherwise the later of the two writes it.
  if (!op->input || op->writers == 0) {
    op->input = node;
  } else {
    const int64_t q = top_level_position(op->input);
    if (q >= 0 && q < pos) op->input = node;
  }
  ++op->writers;
}

void IRGraph::unlink_read(onnx::NodeProto* node, const std::string& name) {
  if (reads_const(*consts_, name)) return;
  // Still read through another slot: still a consumer.
  if (std::find(node->input().begin(), node->input().end(), name) != node->input().end() &&
      top_level_position(node) >= 0) {
    return;
  }
  if (OperandPtr op = operand(name)) {
    auto& outs = op->outputs;
    outs.erase(std::remove(outs.begin(), outs.end(), node), outs.end());
    drop_if_unused(name);
  }
}

void IRGraph::unlink_write(onnx::NodeProto* node, const std::string& name, int32_t slots) {
  OperandPtr op = operand(name);
  if (!op) return;
  op->writers = std::max(0, op->writers - slots);
  const bool still =
      top_level_position(node) >= 0 &&
      std::find(node->output().begin(), node->output().end(), name) != node->output().end();
  if (op->input == node && !still) {
    op->input = nullptr;
    // Another node writes it too: find the last one.
    if (op->writers > 0) relink_names({name});
  }
  drop_if_unused(name);
}

void IRGraph::link_top_level(onnx::NodeProto* node, int64_t pos) {
  for (const auto& input : node->input()) link_read(node, pos, input);
  for (const auto& output : node->output()) link_write(node, pos, output);
}

void IRGraph::unlink_top_level(onnx::NodeProto* node) {
  // Names copied: relinking may not look at a node that has left the list.
  const std::vector<std::string> inputs(node->input().begin(), node->input().end());
  std::vector<std::string> outputs(node->output().begin(), node->output().end());
  for (const auto& input : inputs) unlink_read(node, input);
  // A name written through several slots counted once per slot.
  std::sort(outputs.begin(), outputs.end());
  for (size_t k = 0; k < outputs.size();) {
    size_t next = k;
    while (next < outputs.size() && outputs[next] == outputs[k]) ++next;
    unlink_write(node, outputs[k], static_cast<int32_t>(next - k));
    k = next;
  }
}

void IRGraph::drop_if_unused(const std::string& name) {
  auto it = operands_->find(name);
  if (it == operands_->end()) return;
  const Operand& op = *it->second;
  if (!op.input && op.outputs.empty() && op.writers == 0 && !op.declared) operands_->erase(name);
}

void IRGraph::relink_names(const std::vector<std::string>& names) {
  struct Links {
    onnx::NodeProto* producer = nullptr;
    int32_t writers = 0;
    std::vector<onnx::NodeProto*> consumers;
  };
  std::unordered_map<std::string, Links> links;
  for (const auto& name : names) links.emplace(name, Links{});
  auto visit = [&](onnx::NodeProto* node) {
    for (const auto& input : node->input()) {
      if (reads_const(*consts_, input)) continue;
      auto it = links.find(input);
      if (it == links.end()) continue;
      auto& outs = it->second.consumers;
      bool listed = false;
      for (const auto* o : outs) listed = listed || same_node(o, node);
      if (!listed) outs.push_back(node);
    }
    for (const auto& output : node->output()) {
      auto it = links.find(output);
      if (it == links.end()) continue;
      it->second.producer = node;
      ++it->second.writers;
    }
  };
  // The rebuild's walk: top-level nodes, then the branch nodes of If nodes.
  auto* node_list = graph_->mutable_node();
  std::vector<onnx::NodeProto*> branch_nodes;
  for (auto& node : *node_list) {
    visit(&node);
    if (node.op_type() != "If") continue;
    for (auto& attr : *node.mutable_attribute()) {
      if (attr.type() != onnx::AttributeProto::GRAPH) continue;
      for (auto& sub : *attr.mutable_g()->mutable_node()) branch_nodes.push_back(&sub);
    }
  }
  for (auto* node : branch_nodes) visit(node);
  for (auto& [name, l] : links) {
    if (l.writers == 0 && l.consumers.empty()) {
      if (OperandPtr op = operand(name)) {
        op->input = nullptr;
        op->writers = 0;
        op->outputs.clear();
        drop_if_unused(name);
      }
      continue;
    }
    OperandPtr op = ensure_operand(name);
    op->input = l.producer;
    op->writers = l.writers;
    op->outputs = std::move(l.consumers);
  }
}

void IRGraph::finish_edit() {
  derived_stale_ = true;
  // Records made ahead for nodes not yet inserted cannot pass the proof.
  auto waiting = [&](const std::string& name) {
    OperandPtr op = operand(name);
    if (!op) return false;
    if (op->input && op->writers == 0) return true;
    for (const auto* c : op->outputs) {
      if (top_level_position(c) < 0) return true;
    }
    return false;
  };
  prepared_.erase(std::remove_if(prepared_.begin(), prepared_.end(),
                                 [&](const std::string& n) { return !waiting(n); }),
                  prepared_.end());
  if (prepared_.empty()) verify_if_wanted(*this);
}

}  // namespace tarq
