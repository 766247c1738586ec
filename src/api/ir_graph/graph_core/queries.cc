// Read-only queries over the index tables: consumers, producers, node
// positions and dead tensors. Each costs one table lookup per name involved
// plus the size of the lists it reads (nodes are made unique through
// equal_nodes.h, not by scanning what was found so far).
#include <onnx/onnx_pb.h>

#include <algorithm>

#include "equal_nodes.h"
#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq {

OperandPtr IRGraph::operand(const std::string& name) const {
  auto it = operands_->find(name);
  return it == operands_->end() ? nullptr : it->second;
}

std::vector<onnx::NodeProto*> IRGraph::next_nodes(const std::string& name) const {
  auto op = operand(name);
  return op ? op->outputs : std::vector<onnx::NodeProto*>{};
}

namespace {

std::vector<onnx::NodeProto*> nodes_of(const IRGraph::NodeLinks& links) {
  std::vector<onnx::NodeProto*> out;
  out.reserve(links.size());
  for (const auto& link : links) out.push_back(link.first);
  return out;
}

}  // namespace

IRGraph::NodeLinks IRGraph::next_node_links(const onnx::NodeProto& node) const {
  UniqueNodes seen;
  NodeLinks result;
  for (const auto& out : node.output()) {
    auto op = operand(out);
    if (!op) continue;
    for (auto* consumer : op->outputs) {
      if (seen.add(consumer)) result.emplace_back(consumer, op);
    }
  }
  return result;
}

std::vector<onnx::NodeProto*> IRGraph::next_nodes(const onnx::NodeProto& node) const {
  return nodes_of(next_node_links(node));
}

std::vector<onnx::NodeProto*> IRGraph::pre_nodes(const std::string& name) const {
  auto op = operand(name);
  if (op && op->input) return {op->input};
  return {};
}

IRGraph::NodeLinks IRGraph::pre_node_links(const onnx::NodeProto& node) const {
  UniqueNodes seen;
  NodeLinks result;
  for (const auto& in : node.input()) {
    auto op = operand(in);
    if (op && op->input && seen.add(op->input)) result.emplace_back(op->input, op);
  }
  return result;
}

std::vector<onnx::NodeProto*> IRGraph::pre_nodes(const onnx::NodeProto& node) const {
  return nodes_of(pre_node_links(node));
}

int64_t IRGraph::index(const onnx::NodeProto& node) const {
  auto it = nodes_->find(node.name());
  return it == nodes_->end() ? -1 : it->second;
}

bool IRGraph::is_invalid(const std::string& name) const {
  auto op = operand(name);
  if (op && !op->outputs.empty()) return false;
  return std::find(outputs_->begin(), outputs_->end(), name) == outputs_->end();
}

}  // namespace tarq
