#include "equal_nodes.h"

#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/name_hash.h"

namespace tarq {

size_t node_key(const onnx::NodeProto& node) {
  size_t h = hash_name(node.name());
  auto mix = [&](std::string_view s) { h = (h ^ hash_name(s)) * 0x100000001b3ull + 0x9e37; };
  mix(node.op_type());
  mix(node.domain());
  for (const auto& s : node.input()) mix(s);
  mix("\x01->");  // inputs a, b and outputs c differ from inputs a and outputs b, c
  for (const auto& s : node.output()) mix(s);
  return h;
}

bool EqualNodeIndex::holds(size_t id, onnx::NodeProto* const* list, size_t len,
                           const onnx::NodeProto& node) {
  size_t& done = indexed_[id];
  for (; done < len; ++done) by_key_.emplace(Key{id, node_key(*list[done])}, list[done]);
  auto [first, last] = by_key_.equal_range(Key{id, node_key(node)});
  for (auto it = first; it != last; ++it) {
    if (same_node(it->second, &node)) return true;
  }
  return false;
}

bool UniqueNodes::add(onnx::NodeProto* node) {
  bool listed = false;
  if (nodes_.size() < kScan) {
    for (const auto* n : nodes_) listed = listed || same_node(n, node);
  } else {
    listed = index_.holds(0, nodes_.data(), nodes_.size(), *node);
  }
  if (!listed) nodes_.push_back(node);
  return !listed;
}

}  // namespace tarq
