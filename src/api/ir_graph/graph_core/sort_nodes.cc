// Topological ordering of the top-level nodes.
//
// Requires: consts and inputs current. Guarantees: graph.node holds the same
// nodes, each after the producers of its non-constant inputs, in depth-first
// order from the graph inputs (a node is placed as soon as its last input is
// available; consumers of a new tensor are tried in node order). Leaves the
// model untouched when the order is already valid or cannot be completed
// (a node never reachable from the graph inputs). Not stable beyond that.
// Runs in time linear in the number of edges; the depth-first walk uses an
// explicit stack, so any chain length sorts.
#include <onnx/onnx_pb.h>

#include <string_view>
#include <unordered_map>

#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

struct Opers {
  std::vector<int32_t> outputs;  // consuming positions, one entry per use
  bool visited = false;
};

struct Layers {
  std::vector<int32_t> inputs;   // non-constant input tensors
  std::vector<int32_t> outputs;  // output tensors
  bool visited = false;
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
      if (ready(q) && try_place(q)) stack.push_back(Frame{q});
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

}  // namespace

void IRGraph::_sort_nodes() {
  auto* nodes = model_->mutable_graph()->mutable_node();
  const int n = nodes->size();
  std::unordered_map<std::string_view, int32_t> ids;
  ids.reserve(static_cast<size_t>(n) * 2);
  std::vector<Opers> operands;
  auto id_of = [&](const std::string& name) {
    auto [it, added] = ids.emplace(name, static_cast<int32_t>(operands.size()));
    if (added) operands.emplace_back();
    return it->second;
  };
  std::vector<Layers> layers(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const auto& node = nodes->Get(i);
    for (const auto& name : node.input()) {
      if (name.empty() || consts_->count(name)) continue;
      int32_t t = id_of(name);
      operands[static_cast<size_t>(t)].outputs.push_back(i);
      layers[static_cast<size_t>(i)].inputs.push_back(t);
    }
    for (const auto& name : node.output())
      layers[static_cast<size_t>(i)].outputs.push_back(id_of(name));
  }

  // Start from the graph inputs, the one read earliest first, ties by name.
  std::vector<std::pair<int32_t, const std::string*>> starts;
  for (const auto& name : *inputs_) {
    auto it = ids.find(name);
    if (it == ids.end()) throw KeyError("graph input '" + name + "' is read by no node");
    const auto& uses = operands[static_cast<size_t>(it->second)].outputs;
    if (uses.empty()) throw ValueError("graph input '" + name + "' is read by no node");
    starts.emplace_back(*std::min_element(uses.begin(), uses.end()), &name);
  }
  std::sort(starts.begin(), starts.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : *a.second < *b.second;
  });

  Sorter sorter(layers, operands);
  try {
    sorter.orders.reserve(static_cast<size_t>(n));
    for (const auto& [first_use, name] : starts) {
      Opers& t = operands[static_cast<size_t>(ids.at(*name))];
      t.visited = true;
      for (int32_t p : t.outputs) sorter.visit(p);
    }
  } catch (const std::exception&) {
    tarqLog::w("_visit_nodes fail, skip it!");
    return;
  }
  const auto& orders = sorter.orders;
  if (orders.size() != static_cast<size_t>(n)) return;
  if (std::is_sorted(orders.begin(), orders.end())) return;  // positions are distinct

  // Reorder the element pointers in place: the same node objects, new order.
  std::vector<onnx::NodeProto*> reordered;
  reordered.reserve(orders.size());
  for (int32_t p : orders) reordered.push_back(nodes->Mutable(p));
  std::copy(reordered.begin(), reordered.end(), nodes->pointer_begin());
}

}  // namespace tarq
