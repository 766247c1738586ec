// Model cleaning: brings the graph's model into the canonical form the rest of
// the system expects before the rebuild recreates the tables from it.
//
// Requires: a model whose input, initializer, value-information and output
// lists each hold unique names (with duplicates, every element of a removed
// name goes). Guarantees, in this order: every initializer is also declared
// as a graph input (a declaration whose shape differs from the initializer's
// dims is replaced by a fresh one at the end); with clean_node, nodes whose
// results reach neither a graph output nor a kept node are removed; inputs,
// initializers, value infos and outputs that no node (nor a Loop body) refers
// to are removed, those named as quantization parameters excepted, and the
// host caches that mirror them (initializer_dat, dynamic_shapes,
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
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

// Name -> removal flag (true: remove at the end).
using Flags = std::unordered_map<std::string, bool>;

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool is_quant_param(std::string_view name) {
  return ends_with(name, "_quant_min") || ends_with(name, "_quant_max") ||
         ends_with(name, "_quant_zero_point") || ends_with(name, "_quant_scale");
}

bool flagged(const Flags& flags, const std::string& name) {
  auto it = flags.find(name);
  return it != flags.end() && it->second;
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

void record_uses(const onnx::NodeProto& node, std::unordered_map<std::string, bool>& names) {
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
  Flags inputs_rm;
  std::unordered_map<std::string, onnx::ValueInfoProto*> input_by_name;
  for (auto& in : *g->mutable_input()) {
    inputs_rm[in.name()] = !is_quant_param(in.name());
    input_by_name.emplace(in.name(), &in);
  }

  // Initializers, each declared as a graph input with its own dims.
  Flags consts_rm;
  std::unordered_map<std::string, const onnx::TensorProto*> const_by_name;
  std::unordered_set<const onnx::ValueInfoProto*> dropped_inputs;
  std::vector<std::unique_ptr<onnx::ValueInfoProto>> new_inputs;
  for (const auto& c : g->initializer()) {
    const std::string& name = c.name();
    consts_rm[name] = !is_quant_param(name);
    const_by_name.emplace(name, &c);
    auto it = input_by_name.find(name);
    if (it != input_by_name.end() && !dims_equal(c, inf_shape(*it->second))) {
      dropped_inputs.insert(it->second);
      input_by_name.erase(it);
      inputs_rm.erase(name);
    }
    if (!inputs_rm.count(name)) {
      Shape dims(c.dims().begin(), c.dims().end());
      new_inputs.push_back(std::make_unique<onnx::ValueInfoProto>(
          helpers::make_tensor_value_info(name, c.data_type(), dims)));
      input_by_name[name] = new_inputs.back().get();
      inputs_rm[name] = true;
    }
  }
  if (!dropped_inputs.empty()) {
    filter_list(g->mutable_input(), owner,
                [&](const onnx::ValueInfoProto& vi) { return !dropped_inputs.count(&vi); });
  }
  for (auto& vi : new_inputs) {
    if (!dropped_inputs.count(vi.get())) g->mutable_input()->AddAllocated(vi.release());
  }

  Flags values_rm, outputs_rm;
  for (const auto& vi : g->value_info()) values_rm[vi.name()] = true;
  for (const auto& out : g->output()) outputs_rm[out.name()] = true;

  // Dead nodes: walking backwards, a node is kept when one of its outputs is
  // a graph output or is read by a kept node further down.
  if (clean_node) {
    std::unordered_map<std::string, bool> valid_opers;
    std::unordered_set<const onnx::NodeProto*> invalid_nodes;
    for (int i = g->node_size() - 1; i >= 0; --i) {
      const onnx::NodeProto& node = g->node(i);
      bool valid = false;
      for (const auto& out : node.output()) {
        auto ins = valid_opers.try_emplace(out, false);
        if (outputs_rm.count(out)) ins.first->second = true;
        if (ins.first->second) valid = true;
      }
      for (const auto& in : node.input()) {
        if (in.empty() || consts_rm.count(in)) continue;
        auto ins = valid_opers.try_emplace(in, valid);
        if (!ins.second && valid) ins.first->second = true;
        if (inputs_rm.count(in)) ins.first->second = false;
      }
      if (!valid) invalid_nodes.insert(&node);
    }
    if (!invalid_nodes.empty()) {
      filter_list(g->mutable_node(), owner,
                  [&](const onnx::NodeProto& n) { return !invalid_nodes.count(&n); });
    }
  }

  // References: every name a node (or a Loop body's node) reads or writes;
  // true when its last occurrence was a read.
  std::unordered_map<std::string, bool> valid_names;
  for (auto& node : *g->mutable_node()) {
    record_uses(node, valid_names);
    if (node.op_type() == "Loop") {
      for (const auto& inner : loop_body(node).node()) record_uses(inner, valid_names);
    }
    if (node.op_type() == "Resize" && opset >= 13) {
      for (int i : {2, 3}) {
        if (node.input_size() <= i) continue;
        auto c = const_by_name.find(node.input(i));
        if (c == const_by_name.end()) continue;
        if (c->second->dims_size() == 1 && c->second->dims(0) == 0) node.set_input(i, "");
      }
    }
  }
  for (const auto& [name, read] : valid_names) {
    auto c = consts_rm.find(name);
    if (c != consts_rm.end()) c->second = false;
    if (auto in = inputs_rm.find(name); in != inputs_rm.end()) {
      in->second = false;
    } else if (auto out = outputs_rm.find(name); out != outputs_rm.end()) {
      out->second = false;
    } else if (auto v = values_rm.find(name); v != values_rm.end() && !clean_shape && read) {
      v->second = false;
    }
  }

  // Branch results keep their value information.
  if (clean_shape && opset > 12) {
    for (const auto& node : g->node()) {
      if (node.op_type() != "If" || node.output_size() == 0) continue;
      auto v = values_rm.find(node.output(0));
      if (v != values_rm.end()) v->second = false;
    }
  }

  // Removal, mirrored in the host caches.
  auto* shapes = dynamic_shapes.get();
  auto* diff = dynamic_cast<MapLike*>(dynamic_diff.get());
  auto drop_shape = [&](const std::string& name) {
    if (shapes && shapes->size() != 0 && shapes->contains(name)) shapes->erase(name);
  };
  auto remove_flagged = [&](auto* list, const Flags& flags, auto&& mirror) {
    std::vector<std::string> removed;
    filter_list(list, owner, [&](const auto& e) {
      if (!flagged(flags, e.name())) return true;
      removed.push_back(e.name());
      return false;
    });
    for (auto it = removed.rbegin(); it != removed.rend(); ++it) mirror(*it);
  };
  remove_flagged(g->mutable_input(), inputs_rm, drop_shape);
  remove_flagged(g->mutable_initializer(), consts_rm, [&](const std::string& name) {
    if (initializer_dat && initializer_dat->contains(name)) initializer_dat->erase(name);
    if (diff && !diff->empty() && diff->contains(name)) diff->erase(name);
  });
  remove_flagged(g->mutable_value_info(), values_rm, drop_shape);
  remove_flagged(g->mutable_output(), outputs_rm, drop_shape);

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
  // many as nodes.
  for (int round = 0; round <= model_->graph().node_size(); ++round) {
    const onnx::GraphProto& graph = model_->graph();
    std::unordered_map<std::string_view, const onnx::ValueInfoProto*> infs;
    for (const auto* list : {&graph.value_info(), &graph.input(), &graph.output()}) {
      for (const auto& vi : *list) infs[vi.name()] = &vi;
    }
    std::optional<onnx::ValueInfoProto> entry;
    for (const auto& node : graph.node()) {
      if (node.op_type() != "Reshape" || node.output_size() == 0 || node.input_size() == 0)
        continue;
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
