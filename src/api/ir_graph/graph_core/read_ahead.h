// Read-ahead for walks over a model's nodes and value infos. On a large model
// these walks wait on memory: a message, its lists of names, its strings and
// their characters are separate heap objects, each a cache miss found only
// through the one before it. Called before element i is used, read_ahead
// starts loading the elements ahead of it in stages, each stage reading what
// an earlier one loaded: the message, then a node's lists of input and output
// names, then the string objects the walk reads (`What`: the node's name, its
// operator type, its input and output names; a value info's name and type),
// then their characters, and last `slots(element)`, where the walk prefetches
// the table slots those names hash to. It reads nothing the walk would not
// read and changes nothing. The walks are bound by how many loads the CPU
// keeps in flight: loading more than a walk uses costs more than it saves
// (prefetching a value info's shape and dimensions, or a node's fourth cache
// line, measured slower).
#pragma once

#include <onnx/onnx_pb.h>

#include <cstddef>
#include <vector>

// A function whose only effect is prefetching counts as having none: an
// out-of-line call to it would be dropped. Everything here is inlined.
#define TARQ_READ_AHEAD inline __attribute__((always_inline))

namespace tarq {

// What a walk reads of each node; a value info is always read for its name
// and type (kValueInfo).
enum ReadAheadParts : unsigned { kValueInfo = 0, kNodeName = 1, kOpType = 2, kNodeIO = 4 };

namespace read_ahead_detail {

constexpr int kMessage = 16, kLists = 14, kStrings = 11, kChars = 6, kSlots = 2;

// The array of element pointers of a repeated field, a heap block of its own.
template <class T>
TARQ_READ_AHEAD void list(const google::protobuf::RepeatedPtrField<T>& l) {
  if (!l.empty()) __builtin_prefetch(l.data());
}

template <unsigned What>
TARQ_READ_AHEAD void lists(const onnx::NodeProto& node) {
  if (What & kNodeIO) {
    list(node.input());
    list(node.output());
  }
}

template <unsigned>
TARQ_READ_AHEAD void lists(const onnx::ValueInfoProto&) {}

template <unsigned What>
TARQ_READ_AHEAD void strings(const onnx::NodeProto& node) {
  if (What & kNodeName) __builtin_prefetch(&node.name());
  if (What & kOpType) __builtin_prefetch(&node.op_type());
  if (What & kNodeIO) {
    for (const auto& s : node.input()) __builtin_prefetch(&s);
    for (const auto& s : node.output()) __builtin_prefetch(&s);
  }
}

template <unsigned What>
TARQ_READ_AHEAD void chars(const onnx::NodeProto& node) {
  if (What & kNodeName) __builtin_prefetch(node.name().data());
  if (What & kOpType) __builtin_prefetch(node.op_type().data());
  if (What & kNodeIO) {
    for (const auto& s : node.input()) __builtin_prefetch(s.data());
    for (const auto& s : node.output()) __builtin_prefetch(s.data());
  }
}

template <unsigned>
TARQ_READ_AHEAD void strings(const onnx::ValueInfoProto& vi) {
  __builtin_prefetch(&vi.name());
  __builtin_prefetch(&vi.type());
}

template <unsigned>
TARQ_READ_AHEAD void chars(const onnx::ValueInfoProto& vi) {
  __builtin_prefetch(vi.name().data());
  __builtin_prefetch(&vi.type().tensor_type());
}

// Where a node message keeps its name and operator type (byte offsets of
// the two fields), or -1 where that could not be told. See read_ahead.cc.
struct NodeLayout {
  std::ptrdiff_t name = -1;
  std::ptrdiff_t op_type = -1;
};
const NodeLayout& node_layout();

// Every cache line of a message object, from its first byte.
template <class T>
TARQ_READ_AHEAD void whole_message(const T* m) {
  const char* p = reinterpret_cast<const char*>(m);
  for (size_t off = 0; off < sizeof(T); off += 64) __builtin_prefetch(p + off);
}

// A value info spans two lines; the walks read both.
template <unsigned>
TARQ_READ_AHEAD void message(const onnx::ValueInfoProto* m) {
  whole_message(m);
}

// A node (184 bytes, three or four cache lines): only the lines of the
// fields the walk reads. The scan of operator types reads one line of each.
template <unsigned What>
TARQ_READ_AHEAD void message(const onnx::NodeProto* m) {
  static const NodeLayout& layout = node_layout();
  const char* p = reinterpret_cast<const char*>(m);
  if (layout.op_type < 0 || layout.name < 0) {
    whole_message(m);
    return;
  }
  if (What & kNodeIO) {
    __builtin_prefetch(&m->input());
    __builtin_prefetch(reinterpret_cast<const char*>(&m->output() + 1) - 1);
  }
  if (What & kNodeName) __builtin_prefetch(p + layout.name);
  if (What & kOpType) __builtin_prefetch(p + layout.op_type);
}

}  // namespace read_ahead_detail

template <unsigned What, class T, class Slots>
TARQ_READ_AHEAD void read_ahead(const google::protobuf::RepeatedPtrField<T>& list, int i,
                                Slots&& slots) {
  using namespace read_ahead_detail;
  const int n = list.size();
  if (i + kMessage < n) message<What>(&list.Get(i + kMessage));
  if (i + kLists < n) lists<What>(list.Get(i + kLists));
  if (i + kStrings < n) strings<What>(list.Get(i + kStrings));
  if (i + kChars < n) chars<What>(list.Get(i + kChars));
  if (i + kSlots < n) slots(list.Get(i + kSlots));
}

template <unsigned What, class T, class Slots>
TARQ_READ_AHEAD void read_ahead(const std::vector<const T*>& list, size_t i, Slots&& slots) {
  using namespace read_ahead_detail;
  const size_t n = list.size();
  if (i + kMessage < n) message<What>(list[i + kMessage]);
  if (i + kLists < n) lists<What>(*list[i + kLists]);
  if (i + kStrings < n) strings<What>(*list[i + kStrings]);
  if (i + kChars < n) chars<What>(*list[i + kChars]);
  if (i + kSlots < n) slots(*list[i + kSlots]);
}

// For walks without table slots to prefetch.
inline constexpr auto no_slots = [](const auto&) {};

}  // namespace tarq
