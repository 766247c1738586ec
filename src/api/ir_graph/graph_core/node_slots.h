// NodeSlots: the operand each input and output of every top-level node names,
// resolved once by the link pass so that the passes run right after it (the
// free analysis, the dependency capture) need no name lookups of their own.
// Positions are indexes into the operand table, valid until it changes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <unordered_set>
#include <vector>

namespace tarq {

class IRGraph;

struct NodeSlots {
  // What an input slot names, by its encoding:
  //   >= 0   the operand at that position of the operand table;
  //   <= -2  the constant at position -(code + 2), which is not an operand;
  //   -1     not resolved: look the name up.
  static int64_t const_code(int64_t pos) { return -(pos + 2); }
  static int64_t const_pos(int64_t code) { return -code - 2; }

  std::vector<size_t> in_begin;  // node i's inputs: [in_begin[i], in_begin[i + 1])
  std::vector<int64_t> in;
  std::vector<size_t> out_begin;  // likewise for outputs (>= 0 or -1)
  std::vector<int64_t> out;
  // Per node: whether it is an If node.
  std::vector<char> is_if;
  // Top-level node names are unique (the node index holds every node).
  bool names_unique = false;

  size_t nodes() const { return in_begin.empty() ? 0 : in_begin.size() - 1; }
};

// The distinct operands one node reads, each once, in first-seen order: a
// scan for the usual few inputs, a set for a node with many.
class DistinctReads {
 public:
  void start(size_t inputs) {
    many_ = inputs > 16;
    seen_.clear();
    seen_many_.clear();
  }
  // Whether `pos` is read for the first time by this node.
  bool first(int64_t pos) {
    if (many_) return seen_many_.insert(pos).second;
    if (std::find(seen_.begin(), seen_.end(), pos) != seen_.end()) return false;
    seen_.push_back(pos);
    return true;
  }

 private:
  bool many_ = false;
  std::vector<int64_t> seen_;
  std::unordered_set<int64_t> seen_many_;
};

}  // namespace tarq
