// Swap-up marks: which nodes the compiler may move up in the layer order. A
// chain of single-input swappable operators hanging off a tensor with several
// consumers is marked 1; a merge operator (Concat, Add, Mul, Sub, Div) of
// several distinct tensors blocks them (0), and a swappable node whose output
// is blocked is unlisted and blocks its own inputs, in one pass in model
// order.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <deque>
#include <unordered_map>

#include "tarq/api/ir_graph/companions/settings.h"
#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq {

namespace {

bool is_merge(const std::string& op) {
  return op == "Concat" || op == "Add" || op == "Mul" || op == "Sub" || op == "Div";
}

bool in_list(const std::vector<std::string>& list, const std::string& name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

}  // namespace

void IRGraph::update_swap_up() {
  node_swap_up.clear();
  const std::vector<std::string> swap = swap_ops();  // read now: a setting may change between calls
  auto mark = [&](const std::string& name, int64_t value) {
    if (OperandPtr op = operand(name)) op->swap_up = value;
  };
  for (const auto& node : model_->graph().node()) {
    if (next_nodes(node).size() > 1) {
      for (const auto& out : node.output()) mark(out, 1);
      continue;
    }
    if (!in_list(swap, node.op_type())) continue;
    OperandPtr only;
    int known = 0;
    for (const auto& in : node.input()) {
      if (OperandPtr op = operand(in)) {
        only = op;
        ++known;
      }
    }
    if (known != 1 || only->swap_up != 1) continue;
    node_swap_up.push_back(node.name());
    for (const auto& out : node.output()) mark(out, 1);
  }

  // Where each name stands in the list, so that unlisting is O(1).
  std::unordered_map<std::string, std::deque<size_t>> listed;
  for (size_t i = 0; i < node_swap_up.size(); ++i) listed[node_swap_up[i]].push_back(i);
  std::vector<bool> unlisted(node_swap_up.size(), false);
  for (const auto& node : model_->graph().node()) {
    if (is_merge(node.op_type())) {
      std::vector<std::string> distinct;
      for (const auto& in : node.input()) {
        if (operand(in) && !in_list(distinct, in)) distinct.push_back(in);
      }
      if (distinct.size() > 1) {
        for (const auto& in : distinct) mark(in, 0);
      }
    } else if (in_list(swap, node.op_type())) {
      bool blocked = false;
      for (const auto& out : node.output()) {
        OperandPtr op = operand(out);
        if (op && op->swap_up == 0) {
          blocked = true;
          break;
        }
      }
      if (!blocked) continue;
      auto it = listed.find(node.name());
      if (it != listed.end() && !it->second.empty()) {
        unlisted[it->second.front()] = true;
        it->second.pop_front();
      }
      for (const auto& in : node.input()) mark(in, 0);
    }
  }
  size_t kept = 0;
  for (size_t i = 0; i < node_swap_up.size(); ++i) {
    if (unlisted[i]) continue;
    if (kept != i) node_swap_up[kept] = std::move(node_swap_up[i]);
    ++kept;
  }
  node_swap_up.resize(kept);
}

void IRGraph::set_swap_up(const NameVector& names) {
  for (const auto& name : names) {
    if (!in_list(node_swap_up, name)) node_swap_up.push_back(name);
  }
}

void IRGraph::ban_swap_up(const NameVector& names) {
  for (const auto& name : names) {
    if (!in_list(node_ban_swap_up, name)) node_ban_swap_up.push_back(name);
  }
}

}  // namespace tarq
