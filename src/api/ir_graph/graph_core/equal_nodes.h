// Lists in which each node stands once, nodes compared as messages: a node
// equals itself and any node of identical content (same_node). Comparing a
// new node with every listed one would make a list of n consumers cost n^2
// comparisons; equal nodes share their name, operator type, domain, inputs
// and outputs, so only nodes with the same hash of those fields are compared.
#pragma once

#include <onnx/onnx_pb.h>

#include <cstddef>
#include <unordered_map>
#include <vector>

namespace tarq {

// The hash of the fields equal nodes share.
size_t node_key(const onnx::NodeProto& node);

// For many growing lists, each identified by an id: whether the first `len`
// entries of a list hold a node equal to a given one. A list is indexed the
// first time it is asked about, and its later entries as they come into the
// asked-about prefix, so a list costs one hash per entry, however it grows.
// Entries of a list must not change once inside an asked-about prefix.
class EqualNodeIndex {
 public:
  bool holds(size_t id, onnx::NodeProto* const* list, size_t len, const onnx::NodeProto& node);

 private:
  struct Key {
    size_t id, hash;
    bool operator==(const Key& o) const { return id == o.id && hash == o.hash; }
  };
  struct KeyHash {
    size_t operator()(const Key& k) const { return k.hash ^ (k.id * 0x9e3779b97f4a7c15ull); }
  };
  std::unordered_map<size_t, size_t> indexed_;  // list id -> entries indexed
  std::unordered_multimap<Key, const onnx::NodeProto*, KeyHash> by_key_;
};

// A list of nodes, each once (same_node), in first-seen order.
class UniqueNodes {
 public:
  // Appends `node` unless an equal node is listed; returns whether it did.
  bool add(onnx::NodeProto* node);
  std::vector<onnx::NodeProto*> take() { return std::move(nodes_); }

 private:
  static constexpr size_t kScan = 16;  // below this, a plain scan is cheaper
  std::vector<onnx::NodeProto*> nodes_;
  EqualNodeIndex index_;
};

}  // namespace tarq
