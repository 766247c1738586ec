// The tensor and node dependency maps: which tensors each tensor and each
// node is computed from. See Note [Lazy dependency map].
#include "tarq/api/ir_graph/dependency_map.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

const DependencyMap::Names& DependencyMap::at(const std::string& key) const {
  auto it = keys_.find(key);
  if (it == keys_.end()) throw KeyError(key);
  static const Names kEmpty;
  return it->second < 0 ? kEmpty : graph_->of_node(it->second);
}

std::vector<std::string> DependencyMap::keys() const {
  std::vector<std::string> out;
  out.reserve(keys_.size());
  for (const auto& kv : keys_) out.push_back(kv.first);
  return out;
}

const DependencyMap::Names& DependencyGraph::of_node(int64_t node) const {
  auto& slot = memo[static_cast<size_t>(node)];
  if (slot) return *slot;
  // Walk the producer links back from the node; every input slot reached
  // contributes its name once.
  // Visit stamps shared by all queries keep each walk proportional to the
  // ancestors it reaches, not to the graph.
  if (seen_node.size() != memo.size()) seen_node.assign(memo.size(), 0);
  if (seen_name.size() != names.size()) seen_name.assign(names.size(), 0);
  if (++epoch == 0) {
    std::fill(seen_node.begin(), seen_node.end(), 0);
    std::fill(seen_name.begin(), seen_name.end(), 0);
    epoch = 1;
  }
  auto result = std::make_unique<DependencyMap::Names>();
  std::vector<int64_t> stack{node};
  seen_node[static_cast<size_t>(node)] = epoch;
  while (!stack.empty()) {
    int64_t i = stack.back();
    stack.pop_back();
    for (int64_t s = slot_begin[static_cast<size_t>(i)]; s < slot_begin[static_cast<size_t>(i) + 1];
         ++s) {
      auto name = static_cast<size_t>(slot_name[static_cast<size_t>(s)]);
      if (seen_name[name] != epoch) {
        seen_name[name] = epoch;
        result->push_back(names[name]);
      }
      int64_t p = slot_producer[static_cast<size_t>(s)];
      if (p >= 0 && seen_node[static_cast<size_t>(p)] != epoch) {
        seen_node[static_cast<size_t>(p)] = epoch;
        stack.push_back(p);
      }
    }
  }
  slot = std::move(result);
  return *slot;
}

void IRGraph::create_tensor_dependency_map() {
  auto g = std::make_shared<DependencyGraph>();
  auto tensors = std::make_shared<DependencyMap>();
  auto nodes = std::make_shared<DependencyMap>();
  auto& tkeys = DependencyGraph::keys(*tensors);
  auto& nkeys = DependencyGraph::keys(*nodes);

  // Graph inputs and constants depend on nothing (until a node produces them).
  for (const auto& name : *inputs_) tkeys.emplace(name, -1);
  for (const auto& kv : *consts_) tkeys.emplace(kv.first, -1);

  const auto& node_list = model_->graph().node();
  const auto n = static_cast<size_t>(node_list.size());
  std::unordered_map<std::string_view, int32_t> ids;
  std::unordered_map<int32_t, int64_t> last_producer;  // name id -> node so far
  auto id_of = [&](const std::string& name) {
    auto [it, added] = ids.emplace(name, static_cast<int32_t>(g->names.size()));
    if (added) g->names.push_back(name);
    return it->second;
  };
  g->slot_begin.reserve(n + 1);
  g->memo.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const auto& node = node_list.Get(static_cast<int>(i));
    g->slot_begin.push_back(static_cast<int64_t>(g->slot_name.size()));
    for (const auto& name : node.input()) {
      int32_t id = id_of(name);
      auto p = last_producer.find(id);
      g->slot_name.push_back(id);
      g->slot_producer.push_back(p == last_producer.end() ? -1 : p->second);
    }
    for (const auto& name : node.output()) {
      last_producer[id_of(name)] = static_cast<int64_t>(i);
      tkeys[name] = static_cast<int64_t>(i);
    }
    nkeys[node.name()] = static_cast<int64_t>(i);
  }
  g->slot_begin.push_back(static_cast<int64_t>(g->slot_name.size()));
  DependencyGraph::attach(*tensors, g);
  DependencyGraph::attach(*nodes, g);
  tensor_dependency_map_ = std::move(tensors);
  node_dependency_map_ = std::move(nodes);
}

}  // namespace tarq
