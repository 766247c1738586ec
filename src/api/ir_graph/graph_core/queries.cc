// Read-only queries over the index tables: consumers, producers, node
// positions and dead tensors. Each costs one table lookup per name involved
// plus the size of the list it returns.
#include <onnx/onnx_pb.h>

#include <algorithm>

#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq {

namespace {

void append_once(std::vector<onnx::NodeProto*>& list, onnx::NodeProto* node) {
  for (const auto* n : list) {
    if (same_node(n, node)) return;
  }
  list.push_back(node);
}

}  // namespace

OperandPtr IRGraph::operand(const std::string& name) const {
  auto it = operands_->find(name);
  return it == operands_->end() ? nullptr : it->second;
}

std::vector<onnx::NodeProto*> IRGraph::next_nodes(const std::string& name) const {
  auto op = operand(name);
  return op ? op->outputs : std::vector<onnx::NodeProto*>{};
}

std::vector<onnx::NodeProto*> IRGraph::next_nodes(const onnx::NodeProto& node) const {
  std::vector<onnx::NodeProto*> result;
  for (const auto& out : node.output()) {
    auto op = operand(out);
    if (!op) continue;
    for (auto* consumer : op->outputs) append_once(result, consumer);
  }
  return result;
}

std::vector<onnx::NodeProto*> IRGraph::pre_nodes(const std::string& name) const {
  auto op = operand(name);
  if (op && op->input) return {op->input};
  return {};
}

std::vector<onnx::NodeProto*> IRGraph::pre_nodes(const onnx::NodeProto& node) const {
  std::vector<onnx::NodeProto*> result;
  for (const auto& in : node.input()) {
    auto op = operand(in);
    if (op && op->input) append_once(result, op->input);
  }
  return result;
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
