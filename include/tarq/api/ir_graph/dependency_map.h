// DependencyMap: for each tensor (or node) of a graph, the tensors it is
// computed from, directly or indirectly.
//
// Note [Lazy dependency map]: written out, the map of an n-node chain holds
// n^2/2 names, so it is not built eagerly. The rebuild captures, in one linear
// walk over the nodes in model order, each node's input names and, for each
// input, the node that last produced that name *before* it (a tensor produced
// later than its reader contributes only its own name, exactly as a single
// forward walk over the model sees it). An entry is computed on first access
// by a walk back over those producer links, in time proportional to what it
// reaches, and then kept. The captured names are views of the index tables'
// own key copies (the map keeps that storage alive) or copies in its own
// arena, so later edits of the model do not change the map.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tarq/api/ir_graph/name_arena.h"
#include "tarq/api/ir_graph/name_hash.h"

namespace tarq {

class DependencyGraph;

class DependencyMap {
 public:
  using Names = std::vector<std::string_view>;

  size_t size() const { return entries_.size(); }
  bool contains(std::string_view key) const;
  // The key's tensors, each once, in the order a walk back through the
  // producers first meets them. Throws KeyError.
  const Names& at(std::string_view key) const;
  // Keys in insertion order.
  std::vector<std::string_view> keys() const;
  // Throws VerifyError naming `table` at the first difference from `fresh`,
  // another capture: an entry's tensors are a function of the captured walk,
  // so equal keys, equal node positions and equal walks mean equal maps.
  void check_same(const char* table, const DependencyMap& fresh) const;

 private:
  friend class IRGraph;
  const int64_t* find(std::string_view key) const;
  // (key, node position whose dependency set it is, or -1 for the empty set),
  // keys unique, in insertion order; views of names the graph keeps alive
  // (see DependencyGraph::keep). The hash index over them is built on the
  // first lookup.
  std::vector<std::pair<std::string_view, int64_t>> entries_;
  mutable std::unique_ptr<std::unordered_map<std::string_view, size_t, NameHash>> index_;
  std::shared_ptr<const DependencyGraph> graph_;
};

// The node structure captured by the rebuild, shared by the tensor and the
// node map.
class DependencyGraph {
 public:
  NameArena arena;
  // The key storage of the index tables whose keys `names` views (only the
  // storage: not the tables, their Operand records or the model). Keys
  // outlive erasure from their table.
  std::vector<std::shared_ptr<const void>> keep;
  std::vector<std::string_view> names;  // tensor names by id
  // Node i's input slots are [slot_begin[i], slot_begin[i+1]).
  std::vector<size_t> slot_begin;
  std::vector<int32_t> slot_name;      // name id of the input
  std::vector<int32_t> slot_producer;  // last producer before the node, or -1

  const DependencyMap::Names& of_node(int64_t i) const;

 private:
  friend class IRGraph;
  // Per node, its computed entry; allocated by the first query.
  mutable std::vector<std::unique_ptr<DependencyMap::Names>> memo_;
  mutable std::vector<uint32_t> seen_node_, seen_name_;
  mutable uint32_t epoch_ = 0;
};

}  // namespace tarq
