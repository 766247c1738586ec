// The node layout the read-ahead uses to load only the cache lines a walk
// reads of each node.
#include "read_ahead.h"

#include <cstring>

namespace tarq::read_ahead_detail {

namespace {

// The offset within `node` of the word that points at `s`: a string field
// holds a pointer to its string, possibly with tag bits in the low three.
std::ptrdiff_t field_pointing_at(const onnx::NodeProto& node, const std::string& s) {
  const auto target = reinterpret_cast<uintptr_t>(&s);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&node);
  for (size_t off = 0; off + sizeof(uintptr_t) <= sizeof(node); off += alignof(uintptr_t)) {
    uintptr_t word;
    std::memcpy(&word, bytes + off, sizeof(word));
    if ((word & ~uintptr_t{7}) == target) return static_cast<std::ptrdiff_t>(off);
  }
  return -1;
}

}  // namespace

// The string fields' offsets are private to the message class; they are
// found on a probe node whose name and operator type are set (each then
// lives in a string of its own). Where the search fails the read-ahead
// falls back to loading whole nodes, which is only slower.
const NodeLayout& node_layout() {
  static const NodeLayout layout = [] {
    onnx::NodeProto probe;
    probe.set_name("probe name, longer than a short string");
    probe.set_op_type("probe operator type, longer than a short string");
    NodeLayout l;
    l.name = field_pointing_at(probe, probe.name());
    l.op_type = field_pointing_at(probe, probe.op_type());
    return l;
  }();
  return layout;
}

}  // namespace tarq::read_ahead_detail
