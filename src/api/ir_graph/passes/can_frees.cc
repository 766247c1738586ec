// Freeable tensors: for every node, in node order, the tensors whose last
// reader it is, so that their storage may be released once it has run.
//
// Requires: operands and their consumer lists current (the rebuild runs it
// right after the links are built). Guarantees: can_frees gains one entry per
// top-level node; every operand's used_cnt holds the reads counted. A tensor
// is listed at the read that brings its count to the number of its consumers,
// so at most once; a node's own reads count once per distinct name, reads
// inside the branches of an If node count for the If node every time they
// occur. Changes nothing else.
#include <onnx/onnx_pb.h>

#include <string_view>

#include "../graph_core/node_slots.h"
#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq {

void IRGraph::_create_can_frees() {
  for (auto& kv : *operands_) kv.second->used_cnt = 0;
  fill_can_frees(resolve_slots());
}

void IRGraph::recompute_derived() const {
  derived_stale_ = false;
  for (auto& kv : *operands_) kv.second->used_cnt = 0;
  const NodeSlots slots = resolve_slots();
  can_frees_ = std::make_shared<NameLists>();
  fill_can_frees(slots);
  capture_dependencies(slots);
}

// Requires: every operand's used_cnt is 0 (the rebuild calls this right after
// making the operands; _create_can_frees resets the counts first).
void IRGraph::fill_can_frees(const NodeSlots& slots) const {
  auto& table = *operands_;
  auto& frees = *can_frees_;
  auto count_read = [&](int64_t pos) {
    const auto& [name, op] = table.entry(static_cast<size_t>(pos));
    if (++op->used_cnt == static_cast<int64_t>(op->outputs.size())) frees.push_name(name);
  };
  auto by_name = [&](const std::string& name) -> int64_t {
    auto it = table.find(name);
    return it == table.end() ? -1 : static_cast<int64_t>(table.position(it));
  };
  const auto& nodes = model_->graph().node();
  frees.reserve(frees.size() + slots.nodes());
  DistinctReads distinct;
  for (size_t i = 0; i < slots.nodes(); ++i) {
    const auto& node = nodes.Get(static_cast<int>(i));
    frees.push_list();
    // Each distinct input once, in first-seen order.
    size_t begin = slots.in_begin[i], end = slots.in_begin[i + 1];
    distinct.start(end - begin);
    for (size_t s = begin; s < end; ++s) {
      int64_t pos = slots.in[s];
      if (pos == -1) pos = by_name(node.input(static_cast<int>(s - begin)));
      if (pos >= 0 && distinct.first(pos)) count_read(pos);
    }
    if (slots.is_if[i]) {
      for (const auto& attr : node.attribute()) {
        if (attr.type() != onnx::AttributeProto::GRAPH) continue;
        for (const auto& sub : attr.g().node()) {
          for (const auto& name : sub.input()) {
            int64_t pos = by_name(name);
            if (pos >= 0) count_read(pos);
          }
        }
      }
    }
  }
}

}  // namespace tarq
