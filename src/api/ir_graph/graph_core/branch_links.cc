// The links of If-branch nodes after an edit of a branch attribute: the
// nodes of a branch read outer names and write their own, so replacing or
// removing a branch changes the operand table as a rebuild would make it.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq {

bool IRGraph::is_linked_if(const onnx::NodeProto& node) const {
  if (node.op_type() != "If" || !graph_) return false;
  auto at = nodes_->find(node.name());
  return at != nodes_->end() && at->second >= 0 && at->second < graph_->node_size() &&
         &graph_->node(static_cast<int>(at->second)) == &node;
}

void IRGraph::relink_branch(const std::vector<const onnx::NodeProto*>& gone,
                            const onnx::GraphProto* added) {
  std::vector<std::string> touched;
  // The old branch's nodes leave every list.
  for (const auto* n : gone) {
    for (const auto& input : n->input()) {
      auto op = input.empty() ? nullptr : operand(input);
      if (!op) continue;
      auto& outs = op->outputs;
      outs.erase(std::remove(outs.begin(), outs.end(), n), outs.end());
      touched.push_back(input);
    }
    for (const auto& output : n->output()) {
      if (auto op = operand(output); op && op->input == n) op->input = nullptr;
      touched.push_back(output);
    }
  }
  // The new branch's nodes join them as the rebuild links them: reads of
  // constants that are not graph inputs are no operands.
  std::unordered_set<std::string> graph_inputs(inputs_->begin(), inputs_->end());
  if (added) {
    for (const auto& m : added->node()) {
      auto* self = const_cast<onnx::NodeProto*>(&m);
      for (const auto& input : m.input()) {
        if (input.empty() || (consts_->count(input) && !graph_inputs.count(input))) continue;
        auto op = ensure_operand(input);
        bool listed = false;
        for (const auto* o : op->outputs) listed = listed || same_node(o, self);
        if (!listed) op->outputs.push_back(self);
        touched.push_back(input);
      }
      for (const auto& output : m.output()) ensure_operand(output)->input = self;
    }
  }

  // Consumers in the order of the rebuild's walk: top-level nodes, then the
  // branch nodes of If nodes in node order.
  std::unordered_map<const onnx::NodeProto*, size_t> rank;
  size_t next = 0;
  for (const auto& n : graph_->node()) rank.emplace(&n, next++);
  for (const auto& n : graph_->node()) {
    if (n.op_type() != "If") continue;
    for (const auto& attr : n.attribute()) {
      if (attr.type() != onnx::AttributeProto::GRAPH) continue;
      for (const auto& sub : attr.g().node()) rank.emplace(&sub, next++);
    }
  }
  auto rank_of = [&](const onnx::NodeProto* n) {
    auto it = rank.find(n);
    return it == rank.end() ? std::numeric_limits<size_t>::max() : it->second;
  };
  std::unordered_set<std::string> declared;
  for (const auto* list : {&graph_->input(), &graph_->output(), &graph_->value_info()}) {
    for (const auto& vi : *list) declared.insert(vi.name());
  }
  for (const auto& name : touched) {
    auto op = operand(name);
    if (!op) continue;
    std::stable_sort(op->outputs.begin(), op->outputs.end(),
                     [&](const auto* a, const auto* b) { return rank_of(a) < rank_of(b); });
    // A name that only the old branch mentioned leaves the table.
    if (!op->input && op->outputs.empty() && !declared.count(name)) operands_->erase(name);
  }
}

}  // namespace tarq
