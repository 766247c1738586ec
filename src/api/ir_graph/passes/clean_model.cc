// Model cleaning: brings the graph's model into the canonical form the rest of
// the system expects before the rebuild recreates the tables from it.
//
// Requires: a model whose input, initializer, value-information and output
// lists each hold unique names (with duplicates, every element of a removed
// name goes, and the first of a repeated input decides the shape check).
// Guarantees, in this order: every initializer is also declared as a graph
// input (a declaration whose shape differs from the initializer's dims is
// replaced by a fresh one at the end); with clean_node, nodes whose results
// reach neither a graph output nor a kept node are removed; inputs,
// initializers, value infos and outputs that no node refers to are removed,
// those named as quantization parameters excepted, and the host caches that
// mirror them (initializer_dat, dynamic_shapes, dynamic_diff) lose the same
// names; empty scales/sizes initializers of Resize nodes (opset 13 and later)
// become blank inputs; with clean_shape the value information is dropped (the
// first result of each If node excepted at opset 13 and later) and the weight
// cache keeps only names that were initializers; the model is then
// shape-inferred, and every Reshape whose input has value information gets an
// entry for its output.
//
// Note [Subgraph reads]: a node that holds subgraphs (If branches, Loop and
// Scan bodies, at any depth) reads what they read from outside
// (outer_scope_reads): such a name keeps its graph input or initializer, and
// keeps its producer alive, exactly as a read by the node itself would. So a
// valid model stays valid.
//
// Stable: kept elements keep their relative order. Removed messages are
// parked with the model's owner, never freed, so views and Operand records
// stay valid. Each list is rewritten in one pass. The host caches are called
// only after the model's lists are rewritten, with nothing of the model held
// across the calls (they may run host code). Effect on failure: errors of
// shape inference or of a host cache propagate, the model left cleaned as
// far as the steps got; the tables are stale either way until the next
// rebuild.
#include <onnx/onnx_pb.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "../graph_core/parking.h"
#include "../graph_core/subgraphs.h"
#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/name_hash.h"
#include "tarq/api/ir_graph/nesting.h"
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
  for (T* e : take_all(list)) {
    if (keep(*e)) {
      put_back(list, e);
    } else {
      park_taken(list, e, owner);
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

}  // namespace

int IRGraph::_clean_model(bool clean_shape, bool clean_node) {
  const OwnerPtr keep = model_owner_;  // the model stays alive while we work on it
  MessageOwner& owner = *keep;
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
      auto mark_read = [&](std::string_view in) {
        if (in.empty() || consts_rm.count(in)) return;
        auto ins = valid_opers.try_emplace(in, valid);
        if (!ins.second && valid) ins.first.value() = true;
        if (inputs_rm.count(in)) ins.first.value() = false;
      };
      for (const auto& in : node.input()) mark_read(in);
      for (std::string_view in : outer_scope_reads(node)) mark_read(in);
      if (!valid) invalid_nodes.insert(&node);
    }
    if (!invalid_nodes.empty()) {
      filter_list(g->mutable_node(), owner,
                  [&](const onnx::NodeProto& n) { return !invalid_nodes.count(&n); });
    }
  }

  // References: every name a node reads (its subgraphs' outer-scope reads
  // included, Note [Subgraph reads]) or writes; true when its last
  // occurrence was a read. An empty scales or sizes initializer of a Resize
  // node becomes a blank input, still counting as read; its key views the
  // initializer's name, as the node's string is about to change.
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
    for (const auto& in : node.input()) {
      if (!in.empty()) valid_names[in] = true;
    }
    for (std::string_view in : outer_scope_reads(node)) valid_names[in] = true;
    for (const auto& out : node.output()) valid_names[out] = false;
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

  // Removal from the model's lists; the names removed are kept (as copies)
  // for the host caches.
  std::vector<std::string> removed_inputs, removed_consts, removed_values, removed_outputs;
  auto remove_unkept = [&](auto* list, auto&& keep_it, std::vector<std::string>& removed) {
    filter_list(list, owner, [&](const auto& e) {
      if (keep_it(e)) return true;
      removed.push_back(e.name());
      return false;
    });
  };
  remove_unkept(g->mutable_input(), keep_input, removed_inputs);
  remove_unkept(g->mutable_initializer(), keep_const, removed_consts);
  remove_unkept(g->mutable_value_info(), keep_value, removed_values);
  remove_unkept(g->mutable_output(), keep_output, removed_outputs);
  // What the weight cache may keep: the names that were initializers.
  std::unordered_set<std::string, NameHash, std::equal_to<>> initializer_names;
  if (clean_shape && initializer_dat) {
    initializer_names.reserve(consts_rm.size());
    for (const auto& kv : consts_rm) initializer_names.emplace(kv.first);
  }

  // The host caches follow, each list's removals last to first. From here
  // on host code may run: nothing of the model is held across these calls.
  // The containers are held here, as a callback may replace the fields.
  const auto shapes = dynamic_shapes;
  const auto cache = initializer_dat;
  const auto diff = dynamic_diff;
  auto drop_shapes = [&](const std::vector<std::string>& names) {
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
      if (shapes && shapes->size() != 0 && shapes->contains(*it)) shapes->erase(*it);
    }
  };
  drop_shapes(removed_inputs);
  for (auto it = removed_consts.rbegin(); it != removed_consts.rend(); ++it) {
    if (cache && cache->contains(*it)) cache->erase(*it);
    if (diff && !diff->empty() && diff->contains(*it)) diff->erase(*it);
  }
  drop_shapes(removed_values);
  drop_shapes(removed_outputs);

  // The weight cache keeps only names that were initializers.
  if (clean_shape && cache) {
    std::vector<std::string> stale;
    for (auto& key : cache->keys()) {
      if (!initializer_names.count(key)) stale.push_back(std::move(key));
    }
    for (const auto& key : stale) cache->erase(key);
  }
  if (model_owner_ != keep) {
    throw ValueError("the graph's model was replaced while the cleaning updated the host caches");
  }
  // Host code may have nested the model deeper since the rebuild checked it;
  // inference recurses.
  if (shapes || cache || diff) check_nesting(*model_, "the model");

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
