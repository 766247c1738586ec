// Node insertion: a copy of the node is stored in the node list and every
// table refers to that copy. Later positions move down by one in one pass
// over the node index; the links follow (links.cc).
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../graph_core/parking.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/nesting.h"
#include "tarq/errors.h"

namespace tarq {

onnx::NodeProto* IRGraph::insert_node(int64_t idx, const onnx::NodeProto& node) {
  require_current_tables("insert_node");
  check_nesting(node, "the node");
  auto check_position = [&] {
    if (idx < 0 || idx > graph_->node_size()) {
      throw IndexError("insert_node: position " + std::to_string(idx) +
                       " is outside the node list (0.." + std::to_string(graph_->node_size()) +
                       ")");
    }
  };
  check_position();
  // Named as the rebuild names an unnamed node.
  const std::string name =
      node.name().empty() && node.output_size() > 0 ? node.output(0) : node.name();
  if (nodes_->count(name)) {
    // The report may run host code; everything is looked up again after it.
    tarqLog::e("The '" + name + "' already in self.nodes, please check the node name!");
    require_current_tables("insert_node");
    check_position();
  }
  auto* list = graph_->mutable_node();
  // Copied before the list changes: `node` may be one of its elements.
  onnx::NodeProto copy(node);
  copy.set_name(name);
  onnx::NodeProto* stored = insert_at(list, static_cast<int>(idx), std::move(copy));
  nodes_->shift_values_above(idx - 1, int64_t{1});
  (*nodes_)[stored->name()] = idx;
  link_top_level(stored, idx);
  if (stored->op_type() == "If") {
    for (const auto& attr : stored->attribute()) {
      if (attr.type() == onnx::AttributeProto::GRAPH) relink_branch({}, &attr.g());
    }
  }
  finish_edit();
  return stored;
}

int64_t IRGraph::insert_nodes(const std::vector<const onnx::NodeProto*>& nodes,
                              const std::vector<const onnx::NodeProto*>& near_nodes) {
  require_current_tables("insert_nodes");
  // The group and its neighbours, where the links of names the graph does
  // not know yet are looked for first.
  std::vector<const onnx::NodeProto*> group(nodes);
  group.insert(group.end(), near_nodes.begin(), near_nodes.end());
  auto group_writer = [&](const std::string& name) -> const onnx::NodeProto* {
    for (const auto* n : group) {
      if (std::find(n->output().begin(), n->output().end(), name) != n->output().end()) return n;
    }
    return nullptr;
  };
  // Positions of the node's producers and consumers, by name as index()
  // gives them (-1 for a node not in the graph).
  auto producer_positions = [&](const onnx::NodeProto& nod) {
    std::vector<int64_t> found;
    for (const auto& input : nod.input()) {
      if (input.empty()) continue;
      if (OperandPtr op = operand(input)) {
        if (op->input) found.push_back(index(*op->input));
      } else if (!consts_->count(input)) {
        if (const auto* w = group_writer(input)) found.push_back(index(*w));
      }
    }
    return found;
  };
  auto consumer_positions = [&](const onnx::NodeProto& nod) {
    std::vector<int64_t> found;
    for (const auto& output : nod.output()) {
      if (OperandPtr op = operand(output)) {
        for (const auto* c : op->outputs) found.push_back(index(*c));
        continue;
      }
      for (const auto* n : group) {
        if (std::find(n->input().begin(), n->input().end(), output) != n->input().end()) {
          found.push_back(index(*n));
        }
      }
    }
    return found;
  };

  int64_t idx_max = -1;
  for (const auto* nod : nodes) {
    // Right after the last producer in the graph, else before the first
    // consumer (a consumer not yet in the graph counts as -1), else first.
    int64_t idx = -1;
    for (int64_t p : producer_positions(*nod)) idx = std::max(idx, p);
    if (idx != -1) {
      ++idx;
    } else {
      for (int64_t c : consumer_positions(*nod)) idx = idx == -1 ? c : std::min(c, idx);
    }
    if (idx == -1) idx = 0;
    insert_node(idx, *nod);
    // An insertion at or before the previous furthest node moved it down.
    idx_max = idx > idx_max ? idx : idx_max + 1;
  }
  return idx_max;
}

}  // namespace tarq
