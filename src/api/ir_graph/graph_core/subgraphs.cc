#include "subgraphs.h"

#include <unordered_set>

#include "tarq/api/ir_graph/name_hash.h"

namespace tarq {

namespace {

using NameSet = std::unordered_set<std::string_view, NameHash>;

int graph_count(const onnx::AttributeProto& a) { return (a.has_g() ? 1 : 0) + a.graphs_size(); }

const onnx::GraphProto& graph_at(const onnx::AttributeProto& a, int k) {
  return a.has_g() ? (k == 0 ? a.g() : a.graphs(k - 1)) : a.graphs(k);
}

NameSet defined_in(const onnx::GraphProto& g) {
  NameSet names;
  for (const auto& vi : g.input()) names.insert(vi.name());
  for (const auto& t : g.initializer()) names.insert(t.name());
  for (const auto& t : g.sparse_initializer()) names.insert(t.values().name());
  for (const auto& n : g.node()) {
    for (const auto& out : n.output()) names.insert(out);
  }
  return names;
}

}  // namespace

bool has_subgraphs(const onnx::NodeProto& node) {
  for (const auto& a : node.attribute()) {
    if (graph_count(a) > 0) return true;
  }
  return false;
}

std::vector<std::string_view> outer_scope_reads(const onnx::NodeProto& node) {
  std::vector<std::string_view> reads;
  if (!has_subgraphs(node)) return reads;
  NameSet seen;
  // One frame per subgraph being walked; scopes[k] is what frame k defines.
  struct Frame {
    const onnx::GraphProto* graph;
    int node = 0, attr = 0, sub = 0;
    bool inputs_read = false;
  };
  std::vector<Frame> frames;
  std::vector<NameSet> scopes;
  auto read = [&](std::string_view name) {
    if (name.empty()) return;
    for (const auto& scope : scopes) {
      if (scope.count(name)) return;
    }
    if (seen.insert(name).second) reads.push_back(name);
  };
  auto enter = [&](const onnx::GraphProto& g) {
    frames.push_back(Frame{&g});
    scopes.push_back(defined_in(g));
  };
  for (const auto& a : node.attribute()) {
    for (int k = 0; k < graph_count(a); ++k) {
      enter(graph_at(a, k));
      while (!frames.empty()) {
        Frame& f = frames.back();
        if (f.node == f.graph->node_size()) {
          // Its outputs: a name it does not define itself is read from the
          // graphs around it.
          const onnx::GraphProto* done = f.graph;
          NameSet own = std::move(scopes.back());
          scopes.pop_back();
          frames.pop_back();
          for (const auto& out : done->output()) {
            if (!own.count(out.name())) read(out.name());
          }
          continue;
        }
        const onnx::NodeProto& inner = f.graph->node(f.node);
        if (!f.inputs_read) {
          for (const auto& in : inner.input()) read(in);
          f.inputs_read = true;
        }
        bool entered = false;
        while (!entered && f.attr < inner.attribute_size()) {
          const auto& attr = inner.attribute(f.attr);
          if (f.sub < graph_count(attr)) {
            const onnx::GraphProto& sub = graph_at(attr, f.sub++);
            enter(sub);  // invalidates f
            entered = true;
          } else {
            ++f.attr;
            f.sub = 0;
          }
        }
        if (entered) continue;
        ++f.node;
        f.attr = f.sub = 0;
        f.inputs_read = false;
      }
    }
  }
  return reads;
}

LateReads late_subgraph_reads(const google::protobuf::RepeatedPtrField<onnx::NodeProto>& nodes) {
  LateReads out;
  for (int i = 0; i < nodes.size(); ++i) {
    for (std::string_view name : outer_scope_reads(nodes.Get(i))) out.last[name] = i;
  }
  return out;
}

}  // namespace tarq
