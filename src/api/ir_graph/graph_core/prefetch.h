// Software prefetching for passes over the nodes of a large model.
//
// A model's nodes and their strings are separate heap objects, so a pass
// over 100k nodes is bound by memory latency, not by its work. Walking with
// a prefetch window (the node objects far ahead, their strings nearer)
// overlaps those misses.
#pragma once

#include <onnx/onnx_pb.h>

#include <cstddef>
#include <string>

namespace tarq {

inline void prefetch_string(const std::string& s) {
  __builtin_prefetch(&s);
  if (s.size() > 15) __builtin_prefetch(s.data());
}

// Call once per position i of a pass over `nodes`, before touching node i.
// `strings` names the strings of a node the pass reads.
template <class Strings>
inline void prefetch_ahead(const google::protobuf::RepeatedPtrField<onnx::NodeProto>& nodes, int i,
                           Strings strings) {
  constexpr int kNode = 64, kString = 24;
  const int n = nodes.size();
  if (i + kNode < n) {
    // The whole node object: the fields a pass reads sit on several lines.
    const char* p = reinterpret_cast<const char*>(&nodes.Get(i + kNode));
    for (size_t off = 0; off < sizeof(onnx::NodeProto); off += 64) __builtin_prefetch(p + off);
  }
  if (i + kString < n) strings(nodes.Get(i + kString));
}

}  // namespace tarq
