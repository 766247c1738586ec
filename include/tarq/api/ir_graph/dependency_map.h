// DependencyMap: for each tensor (or node) of a graph, the tensors it is
// computed from, directly or indirectly.
//
// Note [Lazy dependency map]: written out, the map of an n-node chain holds
// n^2/2 names, so it is not built eagerly. The rebuild captures, in one linear
// walk over the nodes in model order, each node's input names and, for each
// input, the node that last produced that name *before* it (a tensor produced
// later than its reader contributes only its own name, exactly as a single
// forward walk over the model would see it). An entry is computed on first
// access by a walk over those producer links and then kept. The map owns
// copies of the names, so later edits of the model do not change it.
#pragma once

#include <tsl/ordered_map.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarq {

class DependencyMap {
 public:
  using Names = std::vector<std::string>;

  size_t size() const { return keys_.size(); }
  bool contains(const std::string& key) const { return keys_.count(key) != 0; }
  // The key's tensors, each once, in first-seen order. Throws KeyError.
  const Names& at(const std::string& key) const;
  // Keys in insertion order.
  std::vector<std::string> keys() const;

 private:
  friend class DependencyGraph;
  // key -> node position whose dependency set it is, or -1 for the empty set.
  tsl::ordered_map<std::string, int64_t> keys_;
  std::shared_ptr<class DependencyGraph> graph_;
};

// The captured node structure shared by the tensor and the node map.
class DependencyGraph {
 public:
  // Tensor names of the graph, interned.
  std::vector<std::string> names;
  // For node i: its input slots [slot_begin[i], slot_begin[i+1]).
  std::vector<int64_t> slot_begin;
  std::vector<int32_t> slot_name;      // interned input name
  std::vector<int64_t> slot_producer;  // last producer before the node, or -1
  // Dependency set of node i, filled on first use.
  mutable std::vector<std::unique_ptr<DependencyMap::Names>> memo;
  mutable std::vector<uint32_t> seen_node, seen_name;
  mutable uint32_t epoch = 0;

  const DependencyMap::Names& of_node(int64_t i) const;
  static void attach(DependencyMap& map, std::shared_ptr<DependencyGraph> g) {
    map.graph_ = std::move(g);
  }
  static tsl::ordered_map<std::string, int64_t>& keys(DependencyMap& map) { return map.keys_; }
};

}  // namespace tarq
