// Freeable tensors: for every node, in node order, the tensors whose last
// reader it is, so that their storage may be released once it has run.
//
// Requires: operands and their consumer lists current (the rebuild runs it
// right after the links are built). Guarantees: can_frees gains one entry per
// top-level node; every operand's used_cnt holds the reads counted. A tensor
// is listed at the read that brings its count to the number of its consumers,
// so at most once; a node's own reads count once per distinct name, reads
// inside the branches of an If node count for the If node every time they
// occur. A tensor that the subgraph of a later node (a Loop or Scan body, an
// If branch at any depth) reads from outside is listed at that node instead,
// once its count is reached: such reads are not all counted as consumers, and
// freeing it earlier would free what that node still reads. Changes nothing
// else.
#include <onnx/onnx_pb.h>

#include <string_view>
#include <unordered_map>
#include <vector>

#include "../graph_core/node_slots.h"
#include "../graph_core/subgraphs.h"
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
  const auto& nodes = model_->graph().node();
  // A tensor that a later node's subgraph reads from outside waits for it.
  const LateReads late = late_subgraph_reads(nodes);
  std::unordered_map<int64_t, std::vector<std::string_view>> waiting;
  size_t current = 0;
  auto count_read = [&](int64_t pos) {
    const auto& [name, op] = table.entry(static_cast<size_t>(pos));
    if (++op->used_cnt != static_cast<int64_t>(op->outputs.size())) return;
    const int64_t until = late.at(name);
    if (until > static_cast<int64_t>(current)) {
      waiting[until].push_back(name);
    } else {
      frees.push_name(name);
    }
  };
  auto by_name = [&](const std::string& name) -> int64_t {
    auto it = table.find(name);
    return it == table.end() ? -1 : static_cast<int64_t>(table.position(it));
  };
  frees.reserve(frees.size() + slots.nodes());
  DistinctReads distinct;
  for (size_t i = 0; i < slots.nodes(); ++i) {
    const auto& node = nodes.Get(static_cast<int>(i));
    current = i;
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
    auto it = waiting.find(static_cast<int64_t>(i));
    if (it != waiting.end()) {
      for (auto name : it->second) frees.push_name(name);
    }
  }
}

}  // namespace tarq
