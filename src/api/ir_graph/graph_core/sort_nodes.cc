// Topological ordering of the top-level nodes.
//
// Requires: the names that count as constants (initializers and sparse
// initializers: they never hold a node back) and the graph inputs. Guarantees: graph.node holds the
// same node objects, each after the producers of its non-constant inputs and of the outer-scope
// names its subgraphs read (subgraphs.h), in depth-first order: first from
// every node that needs nothing (a Constant node, a node over constants
// only), in node order, then from the graph inputs, the one read earliest
// first, ties by name. A node is placed as soon as its last input is
// available, and the consumers of a new tensor are tried in node order. A
// graph input that no node reads is skipped. Leaves the model untouched when
// it is already in that order, or when it cannot be ordered: a node reads a
// tensor that no node produces and no graph input provides, or the nodes
// form a cycle; either is reported with a warning naming the tensor, or a
// node on the cycle. Runs in time linear in nodes and reads; the depth-first
// walk uses an explicit stack, so any chain length sorts. Reports nothing
// through the logger while it holds positions or names of the model.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "subgraphs.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/name_hash.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

struct Opers {
  std::vector<int32_t> outputs;  // consuming positions, one entry per use
  int32_t input = -1;            // a producing position
  bool visited = false;          // available
};

struct Layers {
  std::vector<int32_t> inputs;   // non-constant tensors read (outer-scope reads included)
  std::vector<int32_t> outputs;  // output tensors
  bool visited = false;          // placed
};

class Sorter {
 public:
  Sorter(std::vector<Layers>& layers, std::vector<Opers>& operands)
      : layers_(layers), operands_(operands) {}

  std::vector<int32_t> orders;

  // The depth-first placement from one node, iteratively.
  void visit(int32_t node_id) {
    if (!try_place(node_id)) return;
    struct Frame {
      int32_t node;
      size_t out = 0, use = 0;
      bool marked = false;
    };
    std::vector<Frame> stack{{node_id}};
    while (!stack.empty()) {
      Frame& f = stack.back();
      const Layers& layer = layers_[static_cast<size_t>(f.node)];
      if (f.out >= layer.outputs.size()) {
        stack.pop_back();
        continue;
      }
      Opers& t = operands_[static_cast<size_t>(layer.outputs[f.out])];
      // Outputs become available one at a time: the consumers of the first
      // are tried before the second is marked.
      if (!f.marked) {
        t.visited = true;
        f.marked = true;
      }
      if (f.use >= t.outputs.size()) {
        ++f.out;
        f.use = 0;
        f.marked = false;
        continue;
      }
      int32_t q = t.outputs[f.use++];
      if (try_place(q)) stack.push_back(Frame{q});
    }
  }

 private:
  bool ready(int32_t q) const {
    for (int32_t in : layers_[static_cast<size_t>(q)].inputs) {
      if (!operands_[static_cast<size_t>(in)].visited) return false;
    }
    return true;
  }
  bool try_place(int32_t q) {
    Layers& layer = layers_[static_cast<size_t>(q)];
    if (layer.visited || !ready(q)) return false;
    layer.visited = true;
    orders.push_back(q);
    return true;
  }

  std::vector<Layers>& layers_;
  std::vector<Opers>& operands_;
};

// A node on a cycle among the unplaced nodes. Every unplaced node waits for
// a tensor whose producers are all unplaced (everything read is produced or
// a graph input, and graph inputs are available), so following producers
// from any unplaced node must come back to a node already met.
int32_t node_on_cycle(const std::vector<Layers>& layers, const std::vector<Opers>& operands) {
  int32_t u = 0;
  while (layers[static_cast<size_t>(u)].visited) ++u;
  std::vector<char> met(layers.size(), 0);
  while (!met[static_cast<size_t>(u)]) {
    met[static_cast<size_t>(u)] = 1;
    for (int32_t t : layers[static_cast<size_t>(u)].inputs) {
      const Opers& o = operands[static_cast<size_t>(t)];
      if (!o.visited && o.input >= 0) {
        u = o.input;
        break;
      }
    }
  }
  return u;
}

// Orders graph.node; returns whether the order changed. Warnings are
// returned in `report` rather than written, so that no sink runs while the
// walk holds views of the model's names.
template <class IsConst>
bool order_nodes(onnx::GraphProto& graph, IsConst is_const,
                 const std::vector<std::string_view>& graph_inputs, std::string* report) {
  auto* nodes = graph.mutable_node();
  const int n = nodes->size();
  std::unordered_map<std::string_view, int32_t, NameHash> ids;
  ids.reserve(static_cast<size_t>(n) * 2);
  std::vector<Opers> operands;
  std::vector<std::string_view> names;  // by id
  auto id_of = [&](std::string_view name) {
    auto [it, added] = ids.emplace(name, static_cast<int32_t>(operands.size()));
    if (added) {
      operands.emplace_back();
      names.push_back(name);
    }
    return it->second;
  };
  std::vector<Layers> layers(static_cast<size_t>(n));
  auto read = [&](int32_t i, std::string_view name) {
    if (name.empty() || is_const(name)) return;
    int32_t t = id_of(name);
    operands[static_cast<size_t>(t)].outputs.push_back(i);
    layers[static_cast<size_t>(i)].inputs.push_back(t);
  };
  for (int32_t i = 0; i < n; ++i) {
    const auto& node = nodes->Get(i);
    for (const auto& name : node.input()) read(i, name);
    for (std::string_view name : outer_scope_reads(node)) read(i, name);
    for (const auto& name : node.output()) {
      int32_t t = id_of(name);
      operands[static_cast<size_t>(t)].input = i;
      layers[static_cast<size_t>(i)].outputs.push_back(t);
    }
  }

  // Every tensor read must come from a node or a graph input.
  std::unordered_set<std::string_view, NameHash> provided(graph_inputs.begin(), graph_inputs.end());
  for (int32_t i = 0; i < n; ++i) {
    for (int32_t t : layers[static_cast<size_t>(i)].inputs) {
      if (operands[static_cast<size_t>(t)].input >= 0) continue;
      std::string_view name = names[static_cast<size_t>(t)];
      if (provided.count(name)) continue;
      *report = "_sort_nodes: node '" + nodes->Get(i).name() + "' reads '" + std::string(name) +
                "', which no node produces and no graph input provides; the node order stays "
                "unchanged";
      return false;
    }
  }

  // Graph inputs in start order: the one read earliest first, ties by name.
  std::vector<std::pair<int32_t, std::string_view>> starts;
  for (std::string_view name : graph_inputs) {
    auto it = ids.find(name);
    if (it == ids.end()) continue;  // read by no node
    const auto& uses = operands[static_cast<size_t>(it->second)].outputs;
    if (uses.empty()) continue;
    starts.emplace_back(*std::min_element(uses.begin(), uses.end()), name);
  }
  std::sort(starts.begin(), starts.end());

  Sorter sorter(layers, operands);
  try {
    sorter.orders.reserve(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
      if (layers[static_cast<size_t>(i)].inputs.empty()) sorter.visit(i);
    }
    for (const auto& [first_use, name] : starts) {
      Opers& t = operands[static_cast<size_t>(ids.at(name))];
      t.visited = true;
      for (int32_t p : t.outputs) sorter.visit(p);
    }
  } catch (const std::exception&) {
    *report = "_visit_nodes fail, skip it!";
    return false;
  }
  const auto& orders = sorter.orders;
  if (orders.size() != static_cast<size_t>(n)) {
    int32_t u = node_on_cycle(layers, operands);
    *report = "_sort_nodes: the nodes form a cycle through node '" + nodes->Get(u).name() +
              "'; the node order stays unchanged";
    return false;
  }
  if (std::is_sorted(orders.begin(), orders.end())) return false;  // positions are distinct

  // Reorder the element pointers in place: the same node objects, new order.
  std::vector<onnx::NodeProto*> reordered;
  reordered.reserve(orders.size());
  for (int32_t p : orders) reordered.push_back(nodes->Mutable(p));
  std::copy(reordered.begin(), reordered.end(), nodes->pointer_begin());
  return true;
}

void warn_if(const std::string& report) {
  if (!report.empty()) tarqLog::w(report);
}

// Sparse initializers are constants too, though no table lists them.
std::unordered_set<std::string_view, NameHash> sparse_constants(const onnx::GraphProto& graph) {
  std::unordered_set<std::string_view, NameHash> names;
  for (const auto& t : graph.sparse_initializer()) names.insert(t.values().name());
  return names;
}

}  // namespace

void IRGraph::_sort_nodes() {
  std::vector<std::string_view> starts(inputs_->begin(), inputs_->end());
  std::string report;
  {
    TarqLog::Hold hold;  // a sink runs after the walk
    onnx::GraphProto& graph = *model_->mutable_graph();
    const auto sparse = sparse_constants(graph);
    order_nodes(
        graph,
        [&](std::string_view name) { return consts_->count(name) != 0 || sparse.count(name); },
        starts, &report);
  }
  warn_if(report);
}

bool IRGraph::sort_before_cleaning() {
  // The tables are not rebuilt yet: constants and graph inputs come from the
  // model itself, as the rebuild would make them.
  onnx::GraphProto& graph = *model_->mutable_graph();
  auto consts = sparse_constants(graph);
  for (const auto& t : graph.initializer()) consts.insert(t.name());
  std::vector<std::string_view> starts;
  for (const auto& vi : graph.input()) {
    if (!consts.count(vi.name())) starts.push_back(vi.name());
  }
  std::string report;
  bool changed = order_nodes(
      graph, [&](std::string_view name) { return consts.count(name) != 0; }, starts, &report);
  warn_if(report);
  return changed;
}

}  // namespace tarq
