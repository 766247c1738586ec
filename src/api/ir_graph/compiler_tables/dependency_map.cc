// The tensor and node dependency maps: which tensors each tensor and each
// node is computed from. See Note [Lazy dependency map].
#include "tarq/api/ir_graph/dependency_map.h"

#include <onnx/onnx_pb.h>

#include <algorithm>

#include "../graph_core/differ.h"
#include "../graph_core/node_slots.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

const int64_t* DependencyMap::find(std::string_view key) const {
  if (!index_) {
    index_ = std::make_unique<std::unordered_map<std::string_view, size_t, NameHash>>();
    index_->reserve(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) index_->emplace(entries_[i].first, i);
  }
  auto it = index_->find(key);
  return it == index_->end() ? nullptr : &entries_[it->second].second;
}

bool DependencyMap::contains(std::string_view key) const { return find(key) != nullptr; }

const DependencyMap::Names& DependencyMap::at(std::string_view key) const {
  const int64_t* node = find(key);
  if (!node) throw KeyError(std::string(key));
  static const Names kEmpty;
  return *node < 0 ? kEmpty : graph_->of_node(*node);
}

std::vector<std::string_view> DependencyMap::keys() const {
  std::vector<std::string_view> out;
  out.reserve(entries_.size());
  for (const auto& kv : entries_) out.push_back(kv.first);
  return out;
}

const DependencyMap::Names& DependencyGraph::of_node(int64_t node) const {
  if (memo_.empty()) memo_.resize(slot_begin.size() - 1);
  auto& slot = memo_[static_cast<size_t>(node)];
  if (slot) return *slot;
  // Visit stamps shared by all queries keep each walk proportional to what
  // it reaches, not to the graph.
  if (seen_node_.size() != memo_.size()) seen_node_.assign(memo_.size(), 0);
  if (seen_name_.size() != names.size()) seen_name_.assign(names.size(), 0);
  if (++epoch_ == 0) {
    std::fill(seen_node_.begin(), seen_node_.end(), 0);
    std::fill(seen_name_.begin(), seen_name_.end(), 0);
    epoch_ = 1;
  }
  auto result = std::make_unique<DependencyMap::Names>();
  std::vector<int32_t> stack{static_cast<int32_t>(node)};
  seen_node_[static_cast<size_t>(node)] = epoch_;
  while (!stack.empty()) {
    auto i = static_cast<size_t>(stack.back());
    stack.pop_back();
    for (size_t s = slot_begin[i]; s < slot_begin[i + 1]; ++s) {
      auto name = static_cast<size_t>(slot_name[s]);
      if (seen_name_[name] != epoch_) {
        seen_name_[name] = epoch_;
        result->push_back(names[name]);
      }
      int32_t p = slot_producer[s];
      if (p >= 0 && seen_node_[static_cast<size_t>(p)] != epoch_) {
        seen_node_[static_cast<size_t>(p)] = epoch_;
        stack.push_back(p);
      }
    }
  }
  slot = std::move(result);
  return *slot;
}

void DependencyMap::check_same(const char* what, const DependencyMap& fresh) const {
  const auto& a = entries_;
  const auto& b = fresh.entries_;
  for (size_t k = 0; k < std::max(a.size(), b.size()); ++k) {
    if (k >= a.size()) differ(what, b[k].first, "an entry", "none");
    if (k >= b.size()) differ(what, a[k].first, "no entry", "an entry");
    if (a[k].first != b[k].first) {
      differ(what, b[k].first, "it as entry number " + std::to_string(k), quoted(a[k].first));
    }
    if (a[k].second != b[k].second) {
      auto origin = [](int64_t p) {
        return p < 0 ? std::string("no dependencies (an input or constant)")
                     : "the inputs of node " + std::to_string(p);
      };
      differ(what, b[k].first, origin(b[k].second), origin(a[k].second));
    }
  }
  const DependencyGraph* g = graph_.get();
  const DependencyGraph* h = fresh.graph_.get();
  if (!g || !h) {
    if (g != h) differ(what, "", "a captured walk", "none");
    return;
  }
  if (g->slot_begin != h->slot_begin) differ(what, "", "the inputs of every node", "other inputs");
  for (size_t s = 0; s < h->slot_name.size(); ++s) {
    std::string_view want = h->names[static_cast<size_t>(h->slot_name[s])];
    std::string_view have = g->names[static_cast<size_t>(g->slot_name[s])];
    if (want != have || g->slot_producer[s] != h->slot_producer[s]) {
      differ(what, want,
             "input slot " + std::to_string(s) + " produced by node " +
                 std::to_string(h->slot_producer[s]),
             quoted(have) + " produced by node " + std::to_string(g->slot_producer[s]));
    }
  }
}

void IRGraph::create_tensor_dependency_map() { capture_dependencies(resolve_slots()); }

void IRGraph::capture_dependencies(const NodeSlots& slots) const {
  auto maps = capture_dependency_maps(slots);
  tensor_dependency_map_ = std::move(maps.first);
  node_dependency_map_ = std::move(maps.second);
}

std::pair<std::shared_ptr<DependencyMap>, std::shared_ptr<DependencyMap>>
IRGraph::capture_dependency_maps(const NodeSlots& slots) const {
  // Tensor ids: operands by table position, then constants by initializer
  // position, then any other name met. Names are the keys the operand,
  // constant and node tables hold (the map keeps their key storage alive,
  // not the tables, their records or the model); a name none of them holds
  // is copied into the map's own arena.
  const auto& graph = model_->graph();
  const auto& ops = *operands_;
  const size_t n_ops = ops.end_position();
  const size_t n_inits = static_cast<size_t>(graph.initializer_size());
  auto g = std::make_shared<DependencyGraph>();
  g->keep = {operands_->key_storage(), consts_->key_storage(), nodes_->key_storage()};
  // The constant table's key for each initializer position it names; a
  // later initializer of the same name holds the position.
  std::vector<std::string_view> const_key(n_inits);
  for (const auto& [name, pos] : *consts_) {
    if (pos >= 0 && static_cast<size_t>(pos) < n_inits) const_key[static_cast<size_t>(pos)] = name;
  }
  g->names.resize(n_ops + n_inits);
  // Node positions and entry positions fit 32 bits: a model's lists are
  // indexed by int.
  std::vector<int32_t> last_producer(n_ops + n_inits, -1);
  std::vector<int32_t> key_pos(n_ops + n_inits, -1);
  std::unordered_map<std::string_view, int32_t, NameHash> others;
  // `name` must be a view the map keeps alive (a table key).
  auto name_id = [&](int32_t id, std::string_view name) {
    auto& slot = g->names[static_cast<size_t>(id)];
    if (!slot.data()) slot = name;
    return id;
  };
  auto const_id = [&](size_t pos, std::string_view name) {
    auto& slot = g->names[n_ops + pos];
    if (!slot.data()) slot = const_key[pos].data() ? const_key[pos] : g->arena.copy(name);
    return static_cast<int32_t>(n_ops + pos);
  };
  auto id_by_name = [&](std::string_view name) -> int32_t {
    auto op = operands_->find(name);
    if (op != operands_->end()) {
      return name_id(static_cast<int32_t>(operands_->position(op)), op->first);
    }
    auto c = consts_->find(name);
    if (c != consts_->end() && c->second >= 0 && static_cast<size_t>(c->second) < n_inits) {
      return const_id(static_cast<size_t>(c->second), name);
    }
    auto [it, added] = others.try_emplace(name, static_cast<int32_t>(g->names.size()));
    if (added) {
      g->names.push_back(g->arena.copy(name));
      last_producer.push_back(-1);
      key_pos.push_back(-1);
    }
    return it->second;
  };
  // The id of a slot; the node is read only when the slot was not resolved.
  auto id_of = [&](int64_t code, const onnx::NodeProto& node, bool input, int k) -> int32_t {
    if (code >= 0)
      return name_id(static_cast<int32_t>(code), ops.entry(static_cast<size_t>(code)).first);
    if (code <= -2) {
      auto pos = static_cast<size_t>(NodeSlots::const_pos(code));
      // Positions come from the table of the last rebuild; the model may
      // have fewer initializers since.
      if (pos < n_inits) return const_id(pos, graph.initializer(static_cast<int>(pos)).name());
      return id_by_name(input ? node.input(k) : node.output(k));
    }
    return id_by_name(input ? node.input(k) : node.output(k));
  };

  auto tensors = std::make_shared<DependencyMap>();
  auto nodes = std::make_shared<DependencyMap>();
  auto set_key = [&](int32_t id, int64_t node) {
    auto& pos = key_pos[static_cast<size_t>(id)];
    if (pos < 0) {
      pos = static_cast<int32_t>(tensors->entries_.size());
      tensors->entries_.emplace_back(g->names[static_cast<size_t>(id)], node);
    } else {
      tensors->entries_[static_cast<size_t>(pos)].second = node;
    }
  };
  // Graph inputs and constants depend on nothing (until a node produces them).
  for (const auto& name : *inputs_) set_key(id_by_name(name), -1);
  for (const auto& kv : *consts_) set_key(id_by_name(kv.first), -1);

  const size_t n = slots.nodes();
  tensors->entries_.reserve(tensors->entries_.size() + slots.out.size());
  nodes->entries_.reserve(n);
  g->slot_begin.reserve(n + 1);
  g->slot_name.reserve(slots.in.size());
  g->slot_producer.reserve(slots.in.size());
  std::unordered_map<std::string_view, size_t, NameHash> node_keys;
  for (size_t i = 0; i < n; ++i) {
    const auto& node = graph.node(static_cast<int>(i));
    g->slot_begin.push_back(g->slot_name.size());
    for (size_t s = slots.in_begin[i]; s < slots.in_begin[i + 1]; ++s) {
      int32_t id = id_of(slots.in[s], node, true, static_cast<int>(s - slots.in_begin[i]));
      g->slot_name.push_back(id);
      g->slot_producer.push_back(last_producer[static_cast<size_t>(id)]);
    }
    for (size_t s = slots.out_begin[i]; s < slots.out_begin[i + 1]; ++s) {
      int32_t id = id_of(slots.out[s], node, false, static_cast<int>(s - slots.out_begin[i]));
      last_producer[static_cast<size_t>(id)] = static_cast<int32_t>(i);
      set_key(id, static_cast<int64_t>(i));
    }
    // Node names: unique after a rebuild, where the node index holds node i
    // at position i; otherwise the later node wins.
    if (slots.names_unique) {
      // After a rebuild the index holds node i at entry i; after edits the
      // key is looked up.
      std::string_view key;
      if (i < nodes_->end_position() && nodes_->entry(i).first == node.name()) {
        key = nodes_->entry(i).first;
      } else {
        auto it = nodes_->find(node.name());
        key = it != nodes_->end() ? it->first : g->arena.copy(node.name());
      }
      nodes->entries_.emplace_back(key, static_cast<int64_t>(i));
    } else {
      auto [it, added] = node_keys.try_emplace(node.name(), nodes->entries_.size());
      if (added) {
        nodes->entries_.emplace_back(g->arena.copy(node.name()), static_cast<int64_t>(i));
      } else {
        nodes->entries_[it->second].second = static_cast<int64_t>(i);
      }
    }
  }
  g->slot_begin.push_back(g->slot_name.size());
  tensors->graph_ = g;
  nodes->graph_ = g;
  return {std::move(tensors), std::move(nodes)};
}

}  // namespace tarq
