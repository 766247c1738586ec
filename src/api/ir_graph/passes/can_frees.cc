// Freeable tensors: for every node, in node order, the tensors whose last
// reader it is, so that their storage may be released once it has run.
//
// Requires: operands and their consumer lists current (the rebuild runs it
// right after the links are built). Guarantees: can_frees gains one entry per
// top-level node; every operand's used_cnt holds the reads counted. A tensor
// is listed at the read that brings its count to the number of its consumers,
// so at most once; reads inside the branches of an If node count for the If
// node, every time they occur. Changes nothing else.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq {

void IRGraph::_create_can_frees() {
  for (auto& kv : *operands_) kv.second->used_cnt = 0;
  auto count_read = [this](const std::string& name, NameVector& can_free) {
    auto it = operands_->find(name);
    if (it == operands_->end()) return;
    Operand& op = *it->second;
    if (++op.used_cnt == static_cast<int64_t>(op.outputs.size())) can_free.push_back(name);
  };
  auto& frees = *can_frees_;
  frees.reserve(frees.size() + static_cast<size_t>(model_->graph().node_size()));
  for (const auto& node : model_->graph().node()) {
    NameVector can_free;
    // Each distinct input once, in first-seen order.
    if (node.input_size() <= 16) {
      for (int i = 0; i < node.input_size(); ++i) {
        auto first = node.input().begin() + i;
        if (std::find(node.input().begin(), first, *first) == first) count_read(*first, can_free);
      }
    } else {
      std::unordered_set<std::string_view> seen;
      for (const auto& name : node.input()) {
        if (seen.insert(name).second) count_read(name, can_free);
      }
    }
    if (node.op_type() == "If") {
      for (const auto& attr : node.attribute()) {
        if (attr.type() != onnx::AttributeProto::GRAPH) continue;
        for (const auto& sub : attr.g().node()) {
          for (const auto& name : sub.input()) count_read(name, can_free);
        }
      }
    }
    frees.push_back(std::move(can_free));
  }
}

}  // namespace tarq
