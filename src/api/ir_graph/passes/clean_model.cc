// Model cleaning: brings the graph's model into the canonical form the rest of
// the system expects before the rebuild recreates the tables from it.
//
// Requires: a model whose input, initializer, value-information and output
// lists each hold unique names (with duplicates, every element of a removed
// name goes, and the first of a repeated input decides the shape check). Guarantees, in this order:
// every initializer is also declared as a graph input (a declaration whose shape differs from the
// initializer's dims is replaced by a fresh one at the end); with clean_node, nodes whose results
// reach neither a graph output nor a kept node are removed; inputs, initializers, value infos and
// outputs that no node (nor a Loop body) refers to are removed, those named as quantization
// parameters excepted, and the host caches that mirror them (initializer_dat, dynamic_shapes,
// dynamic_diff) lose the same names; empty scales/sizes initializers of
// Resize nodes (opset 13 and later) become blank inputs; with clean_shape the
// value information is dropped (the first result of each If node excepted at
// opset 13 and later) and the weight cache keeps only names that were
// initializers; the model is then shape-inferred, and every Reshape whose
// input has value information gets an entry for its output. Stable: kept
// elements keep their relative order. Removed messages are parked with the
// model's owner, never freed, so views and Operand records stay valid. Each
// list is rewritten in one pass. Effect on failure: errors of shape inference
// or of reading a Loop body propagate, the model left cleaned as far as the
// steps got; the tables are stale either way until the next rebuild.
#include <onnx/onnx_pb.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/name_hash.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

// The working maps are keyed by views of the names of the model's own
// messages: removed ones are parked, never freed, and the one name the
// cleaning rewrites (a blanked Resize input) is never a key.
//
// Name -> a flag whose meaning each map gives (removal, liveness, last use).
using Flags = NameViewMap<bool>;

// A graph input or initializer: its removal flag (true: remove at the end)
// and the element itself (the first one, should a name repeat).
template <class T>
struct Declared {
  bool remove;
  T* elem;
};

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool is_quant_param(std::string_view name) {
  return ends_with(name, "_quant_min") || ends_with(name, "_quant_max") ||
         ends_with(name, "_quant_zero_point") || ends_with(name, "_quant_scale");
}

// Rewrites `list` in one pass, keeping the elements `keep` accepts in order;
// the others are parked with `owner`.
template <class T, class Keep>
void filter_list(google::protobuf::RepeatedPtrField<T>* list, MessageOwner& owner, Keep keep) {
  const int n = list->size();
  if (n == 0) return;
  std::vector<T*> elems(static_cast<size_t>(n));
  list->ExtractSubrange(0, n, elems.data());
  for (T* e : elems) {
    if (keep(*e)) {
      list->AddAllocated(e);
    } else {
      owner.park(std::unique_ptr<google::protobuf::Message>(e));
    }
  }
}

bool dims_equal(const onnx::TensorProto& t, const Shape& shape) {
  if (static_cast<size_t>(t.dims_size()) != shape.size()) return false;
  for (int i = 0; i < t.dims_size(); ++i) {
    const auto* v = std::get_if<int64_t>(&shape[static_cast<size_t>(i)]);
    if (!v || *v != t.dims(i)) return false;
  }
  return true;
}

const onnx::GraphProto& loop_body(const onnx::NodeProto& node) {
  for (const auto& a : node.attribute()) {
    if (a.name() == "body" && a.has_g()) return a.g();
  }
  throw ValueError("Loop node '" + node.name() + "' has no graph attribute 'body'");
}

void record_uses(const onnx::NodeProto& node, Flags& names) {
  for (const auto& in : node.input()) {
    if (!in.empty()) names[in] = true;
  }
  for (const auto& out : node.output()) names[out] = false;
}

}  // namespace

int IRGraph::_clean_model(bool clean_shape, bool clean_node) {
  MessageOwner& owner = *model_owner_;
  onnx::GraphProto* g = model_->mutable_graph();

  // Graph inputs; quantization parameters are never removed.
  NameViewMap<Declared<onnx::ValueInfoProto>> inputs_rm;
  inputs_rm.reserve(static_cast<size_t>(g->input_size() + g->initializer_size()));
  for (auto& in : *g->mutable_input()) {
    inputs_rm.try_emplace(in.name(),
                          Declared<onnx::ValueInfoProto>{!is_quant_param(in.name()), &in});
  }

  // Initializers, each declared as a graph input with its own dims.
  NameViewMap<Declared<const onnx::TensorProto>> consts_rm;
  consts_rm.reserve(static_cast<size_t>(g->initializer_size()));
  std::unordered_set<const onnx::ValueInfoProto*> dropped_inputs;
  std::vector<std::unique_ptr<onnx::ValueInfoProto>> new_inputs;
  for (const auto& c : g->initializer()) {
    const std::string& name = c.name();
    consts_rm.try_emplace(name, Declared<const onnx::TensorProto>{!is_quant_param(name), &c});
    auto it = inputs_rm.find(name);
    if (it != inputs_rm.end() && !dims_equal(c, inf_shape(*it->second.elem))) {
      dropped_inputs.insert(it->second.elem);
      inputs_rm.unordered_erase(it);
      it = inputs_rm.end();
    }
    if (it == inputs_rm.end()) {
      Shape dims(c.dims().begin(), c.dims().end());
      new_inputs.push_back(std::make_unique<onnx::ValueInfoProto>(
          helpers::make_tensor_value_info(name, c.data_type(), dims)));
      inputs_rm[new_inputs.back()->name()] = {true, new_inputs.back().get()};
    }
  }
  if (!dropped_inputs.empty()) {
    filter_list(g->mutable_input(), owner,
                [&](const onnx::ValueInfoProto& vi) { return !dropped_inputs.count(&vi); });
  }
  for (auto& vi : new_inputs) {
    if (!dropped_inputs.count(vi.get())) g->mutable_input()->AddAllocated(vi.release());
  }

  Flags outputs_rm;
  outputs_rm.reserve(static_cast<size_t>(g->output_size()));
  for (const auto& out : g->output()) outputs_rm[out.name()] = true;

  // Dead nodes: walking backwards, a node is kept when one of its outputs is
  // a graph output or is read by a kept node further down.
  if (clean_node) {
    Flags valid_opers;
    std::unordered_set<const onnx::NodeProto*> invalid_nodes;
    for (int i = g->node_size() - 1; i >= 0; --i) {
      const onnx::NodeProto& node = g->node(i);
      bool valid = false;
      for (const auto& out : node.output()) {
        auto ins = valid_opers.try_emplace(out, false);
        if (outputs_rm.count(out)) ins.first.value() = true;
        if (ins.first->second) valid = true;
      }
      for (const auto& in : node.input()) {
        if (in.empty() || consts_rm.count(in)) continue;
        auto ins = valid_opers.try_emplace(in, valid);
        if (!ins.second && valid) ins.first.value() = true;
        if (inputs_rm.count(in)) ins.first.value() = false;
      }
      if (!valid) invalid_nodes.insert(&node);
    }
    if (!invalid_nodes.empty()) {
      filter_list(g->mutable_node(), owner,
                  [&](const onnx::NodeProto& n) { return !invalid_nodes.count(&n); });
    }
  }

  // References: every name a node (or a Loop body's node) reads or writes;
  // true when its last occurrence was a read. An empty scales or sizes
  // initializer of a Resize node becomes a blank input, still counting as
  // read; its key views the initializer's name, as the node's string is
  // about to change.
  Flags valid_names;
  valid_names.reserve(static_cast<size_t>(g->node_size()) * 2);
  for (auto& node : *g->mutable_node()) {
    if (node.op_type() == "Resize" && opset >= 13) {
      for (int i = 0; i < node.input_size(); ++i) {
        const std::string& in = node.input(i);
        if (in.empty()) continue;
        auto c = (i == 2 || i == 3) ? consts_rm.find(in) : consts_rm.end();
        if (c == consts_rm.end()) {
          valid_names[in] = true;
          continue;
        }
        const onnx::TensorProto& t = *c->second.elem;
        valid_names[t.name()] = true;
        if (t.dims_size() == 1 && t.dims(0) == 0) node.set_input(i, "");
      }
      for (const auto& out : node.output()) valid_names[out] = false;
      continue;
    }
    record_uses(node, valid_names);
    if (node.op_type() == "Loop") {
      for (const auto& inner : loop_body(node).node()) record_uses(inner, valid_names);
    }
  }

  // What stays: a referenced input or initializer (or a quantization
  // parameter); a referenced output not also named as an input; without
  // clean_shape, the value information of a tensor whose last reference is a
  // read, named neither as an input nor as an output; with clean_shape (from
  // opset 13), that of each If node's first result.
  NameViewMap<bool> branch_results;
  if (clean_shape && opset > 12) {
    for (const auto& node : g->node()) {
      if (node.op_type() == "If" && node.output_size() > 0) branch_results[node.output(0)] = true;
    }
  }
  auto referenced = [&](const std::string& name) { return valid_names.count(name) != 0; };
  auto keep_input = [&](const auto& e) {
    auto it = inputs_rm.find(e.name());
    return it == inputs_rm.end() || !it->second.remove || referenced(e.name());
  };
  auto keep_const = [&](const auto& e) {
    auto it = consts_rm.find(e.name());
    return it == consts_rm.end() || !it->second.remove || referenced(e.name());
  };
  auto keep_output = [&](const auto& e) {
    return referenced(e.name()) && !inputs_rm.count(e.name());
  };
  auto keep_value = [&](const auto& e) {
    if (clean_shape) return branch_results.count(e.name()) != 0;
    auto it = valid_names.find(e.name());
    return it != valid_names.end() && it->second && !inputs_rm.count(e.name()) &&
           !outputs_rm.count(e.name());
  };

  // Removal, mirrored in the host caches.
  auto* shapes = dynamic_shapes.get();
  auto* diff = dynamic_cast<MapLike*>(dynamic_diff.get());
  auto drop_shape = [&](const std::string& name) {
    if (shapes && shapes->size() != 0 && shapes->contains(name)) shapes->erase(name);
  };
  auto remove_unkept = [&](auto* list, auto&& keep, auto&& mirror) {
    std::vector<std::string> removed;
    filter_list(list, owner, [&](const auto& e) {
      if (keep(e)) return true;
      removed.push_back(e.name());
      return false;
    });
    for (auto it = removed.rbegin(); it != removed.rend(); ++it) mirror(*it);
  };
  remove_unkept(g->mutable_input(), keep_input, drop_shape);
  remove_unkept(g->mutable_initializer(), keep_const, [&](const std::string& name) {
    if (initializer_dat && initializer_dat->contains(name)) initializer_dat->erase(name);
    if (diff && !diff->empty() && diff->contains(name)) diff->erase(name);
  });
  remove_unkept(g->mutable_value_info(), keep_value, drop_shape);
  remove_unkept(g->mutable_output(), keep_output, drop_shape);

  // The weight cache keeps only names that were initializers.
  if (clean_shape && initializer_dat) {
    std::vector<std::string> stale;
    for (auto& key : initializer_dat->keys()) {
      if (!consts_rm.count(key)) stale.push_back(std::move(key));
    }
    for (const auto& key : stale) initializer_dat->erase(key);
  }

  set_model(infer_shapes(model_owner_));

  // Reshape outputs: one entry per repetition, then inference again. Every
  // repetition adds a name to the value information, so there are at most as
  // many as nodes. Repetitions do not add or remove nodes.
  std::vector<int> reshapes;
  for (int i = 0; i < model_->graph().node_size(); ++i) {
    const auto& node = model_->graph().node(i);
    if (node.op_type() == "Reshape" && node.output_size() > 0 && node.input_size() > 0)
      reshapes.push_back(i);
  }
  for (size_t round = 0; !reshapes.empty() && round <= reshapes.size(); ++round) {
    const onnx::GraphProto& graph = model_->graph();
    NameViewMap<const onnx::ValueInfoProto*> infs;
    infs.reserve(
        static_cast<size_t>(graph.value_info_size() + graph.input_size() + graph.output_size()));
    for (const auto* list : {&graph.value_info(), &graph.input(), &graph.output()}) {
      for (const auto& vi : *list) infs[vi.name()] = &vi;
    }
    std::optional<onnx::ValueInfoProto> entry;
    for (int i : reshapes) {
      const auto& node = graph.node(i);
      if (infs.count(node.output(0))) continue;
      auto src = infs.find(node.input(0));
      if (src == infs.end()) continue;
      entry = helpers::make_tensor_value_info(
          node.output(0), src->second->type().tensor_type().elem_type(), std::nullopt);
      break;
    }
    if (!entry) break;
    *model_->mutable_graph()->add_value_info() = std::move(*entry);
    set_model(infer_shapes(model_owner_));
  }
  return 0;
}

}  // namespace tarq
