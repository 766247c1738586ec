// Layer export: the model as the NPU compiler consumes it, one small model
// per node (or per producer fused with its single consumer), each holding the
// value information of its inputs and outputs and its constants, with the
// tensors each layer may free and the layers that read each tensor.
//
// The value information of computed tensors comes from shape inference of a
// copy of the model with data propagation (exports compute shapes through
// Shape -> Gather -> Concat chains, which plain inference leaves unknown).
// A node with subgraphs also reads, by name, tensors of the graph around it:
// its layer takes those as inputs too. Every layer imports every opset the
// model imports, so nodes of other domains keep theirs.
//
// Reporting runs host code (a log handler), as do the host's quant_tab and
// op_target: the walk keeps the model it started on alive and checks after
// each host call that the graph still works on it.
#include <fmt/format.h>
#include <google/protobuf/util/message_differencer.h>
#include <onnx/checker.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <unordered_set>

#include "../graph_core/host_calls.h"
#include "../graph_core/shape_copy.h"
#include "../graph_core/subgraphs.h"
#include "tarq/api/ir_graph/companions/extend_ops.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/progress.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

constexpr const char* kOp = "create_ir_layers";

template <class M>
bool equal_message(const M* a, const M* b) {
  return a == b ||
         (a->name() == b->name() && google::protobuf::util::MessageDifferencer::Equals(*a, *b));
}

template <class M>
bool holds(const std::vector<const M*>& list, const M* m) {
  for (const M* x : list) {
    if (equal_message(x, m)) return true;
  }
  return false;
}

// The layer's name: the node's, else (blank) its first named output, else
// its operator type and layer id.
std::string layer_name(const onnx::NodeProto& node, int64_t id) {
  if (node.name().find_first_not_of(" \t\n\r\f\v") != std::string::npos) return node.name();
  for (const auto& out : node.output()) {
    if (!out.empty()) return out;
  }
  return fmt::format("{}_{}", node.op_type(), id);
}

bool holds_data(const onnx::TensorProto& t) {
  if (t.data_location() == onnx::TensorProto::EXTERNAL || !t.raw_data().empty()) return true;
  int64_t n = 1;
  for (int64_t d : t.dims()) n *= d;
  return n == 0 || t.float_data_size() || t.int32_data_size() || t.string_data_size() ||
         t.int64_data_size() || t.double_data_size() || t.uint64_data_size();
}

// Why a layer model is not valid, or "" when it is: every tensor input and
// output needs a known rank, and a layer of standard operators must pass
// the ONNX checker. Constants whose data the weight cache holds are left
// out of the checked copy (their graph inputs declare them).
std::string invalid_reason(onnx::ModelProto& layer) {
  const auto& g = layer.graph();
  for (const auto* list : {&g.input(), &g.output()}) {
    for (const auto& vi : *list) {
      if (!vi.type().has_tensor_type()) continue;  // sequences, optionals: no rank to know
      if (!vi.type().tensor_type().has_shape()) {
        return fmt::format("'{}' has no known rank", vi.name());
      }
    }
  }
  for (const auto& node : g.node()) {
    if (is_extend_op(node.op_type())) return {};
  }
  // The layer's own initializers are set aside while the checker runs, and
  // copies of those that hold data stand in (the others are small: large
  // ones are cached).
  auto* inits = layer.mutable_graph()->mutable_initializer();
  const bool aside = !std::all_of(inits->begin(), inits->end(), holds_data);
  google::protobuf::RepeatedPtrField<onnx::TensorProto> own;
  std::string why;
  if (aside) inits->Swap(&own);
  try {
    for (const auto& t : own) {
      if (holds_data(t)) *inits->Add() = t;
    }
    onnx::checker::check_model(layer);
  } catch (const std::exception& e) {
    why = e.what();
  }
  if (aside) inits->Swap(&own);
  return why;
}

// Whether every output of the graph's nodes has value information with a
// shape of fixed sizes.
bool shapes_settled(const onnx::GraphProto& graph) {
  std::unordered_set<std::string_view> fixed;
  for (const auto* list : {&graph.input(), &graph.output(), &graph.value_info()}) {
    for (const auto& vi : *list) {
      if (!vi.type().has_tensor_type() || !vi.type().tensor_type().has_shape()) continue;
      const auto& dims = vi.type().tensor_type().shape().dim();
      if (std::all_of(dims.begin(), dims.end(), [](const auto& d) { return d.has_dim_value(); })) {
        fixed.insert(vi.name());
      }
    }
  }
  for (const auto& node : graph.node()) {
    for (const auto& out : node.output()) {
      if (!out.empty() && !fixed.count(out)) return false;
    }
  }
  return true;
}

int named_outputs(const onnx::NodeProto& node) {
  int n = 0;
  for (const auto& out : node.output()) n += !out.empty();
  return n;
}

}  // namespace

IrLayers IRGraph::create_ir_layers(bool fuse_op, const RecordMap* quant_tab, bool log,
                                   std::optional<int64_t> dynamic_idx) {
  require_current_tables(kOp);
  const OwnerPtr keep = model_owner_;
  auto after_host_code = [&] {
    still_same_model(*this, keep, kOp);
    require_current_tables(kOp);
  };

  // The chosen configuration's constants go into the graph's own model.
  if (dynamic_idx && dynamic_diff && !dynamic_diff->empty()) {
    const auto diff = dynamic_diff;
    for (const auto& name : diff->keys()) {
      auto value = diff->at(name, *dynamic_idx);
      if (!value)
        throw ValueError(
            fmt::format("{}: dynamic_diff['{}'] has no value for "
                        "configuration {}",
                        kOp, name, *dynamic_idx));
      set_const(name, *value);
      after_host_code();
    }
  }

  // The tables as they stand now; a log handler that rebuilds the graph
  // replaces the graph's handles, not these.
  refresh_derived();
  const std::shared_ptr<NameLists> frees = can_frees_;
  // A fused layer's list is its producer's with its consumer's appended;
  // what an earlier export appended goes first, so that no tensor is listed
  // twice.
  frees->drop_extensions();
  const auto consts = consts_;
  const auto graph_inputs = inputs_with_const_;
  const OwnerPtr graph_keep = graph_owner_;
  const onnx::GraphProto& graph = *graph_;
  std::vector<const onnx::NodeProto*> order;
  order.reserve(static_cast<size_t>(graph.node_size()));
  for (const auto& node : graph.node()) order.push_back(&node);
  if (frees->size() != order.size()) {
    throw ValueError(
        fmt::format("{}: the freeable-tensor table has {} lists for {} nodes; call "
                    "rebuild() first",
                    kOp, frees->size(), order.size()));
  }
  std::vector<std::pair<std::string, int64_t>> imports;
  for (const auto& op : model_->opset_import()) imports.emplace_back(op.domain(), op.version());

  // Value information of the computed tensors, from inference with data
  // propagation on a copy (the graph's model keeps what it states). When
  // the model already gives every node output a fully fixed shape, that
  // inference could add nothing, and the model's own is taken.
  OwnerPtr inferred = graph_keep;
  if (!shapes_settled(graph)) {
    inferred = shape_copy(*model_);
    try {
      inferred = infer_shapes(inferred, false, false, true);
    } catch (const std::exception& e) {
      tarqLog::e(
          fmt::format("{}: shape inference of the model failed ({}); the layers take the "
                      "value information the model states",
                      kOp, e.what()));
      after_host_code();
    }
  }
  std::unordered_map<std::string_view, const onnx::ValueInfoProto*> outputs_info, values_info;
  const auto& known =
      inferred == graph_keep ? graph : inferred->root_as<onnx::ModelProto>().graph();
  for (const auto& vi : known.output()) outputs_info[vi.name()] = &vi;
  for (const auto& vi : known.value_info()) values_info[vi.name()] = &vi;
  std::unordered_set<std::string_view> graph_outputs;
  for (const auto& vi : graph.output()) graph_outputs.insert(vi.name());

  // Positions read from the tables are checked against the model: host code
  // may have edited it in place.
  auto graph_input = [&](const std::string& name) -> const onnx::ValueInfoProto* {
    auto it = graph_inputs->find(name);
    if (it == graph_inputs->end()) return nullptr;
    const int64_t pos = it->second;
    if (pos < 0 || pos >= graph.input_size() || graph.input(static_cast<int>(pos)).name() != name) {
      throw ValueError(fmt::format("{}: the graph inputs changed while it ran", kOp));
    }
    return &graph.input(static_cast<int>(pos));
  };
  auto initializer = [&](const std::string& name) -> const onnx::TensorProto* {
    auto it = consts->find(name);
    if (it == consts->end()) return nullptr;
    const int64_t pos = it->second;
    if (pos < 0 || pos >= graph.initializer_size() ||
        graph.initializer(static_cast<int>(pos)).name() != name) {
      throw ValueError(fmt::format("{}: the initializers changed while it ran", kOp));
    }
    return &graph.initializer(static_cast<int>(pos));
  };
  // A constant that no graph input declares is described by its own type
  // and dims.
  std::deque<onnx::ValueInfoProto> made_infos;
  auto input_info = [&](const std::string& name) -> const onnx::ValueInfoProto* {
    if (const auto* info = graph_input(name)) return info;
    if (const auto* c = initializer(name)) {
      auto& vi = made_infos.emplace_back();
      vi.set_name(name);
      auto* tt = vi.mutable_type()->mutable_tensor_type();
      tt->set_elem_type(c->data_type());
      auto* shape = tt->mutable_shape();
      for (int64_t d : c->dims()) shape->add_dim()->set_dim_value(d);
      return &vi;
    }
    auto it = outputs_info.find(name);
    if (it != outputs_info.end()) return it->second;
    tarqLog::e(fmt::format("Can not find tensor value info for '{}'!", name));
    after_host_code();
    return nullptr;
  };

  IrLayers result;
  result.frees = frees;
  std::unordered_set<const onnx::NodeProto*> node_fused;
  std::optional<Progress> progress;
  if (log) progress.emplace("I GraphPreparing ", order.size(), 100);

  for (size_t i = 0; i < order.size(); ++i) {
    if (progress) progress->advance();
    const onnx::NodeProto& node = *order[i];
    if (node_fused.erase(&node)) continue;  // emitted with its producer
    const int64_t cur_id = static_cast<int64_t>(result.layers.size());

    auto layer_owner = std::make_shared<MessageOwner>(std::make_unique<onnx::ModelProto>());
    onnx::GraphProto& lg = *layer_owner->root_as<onnx::ModelProto>().mutable_graph();
    lg.set_name(layer_name(node, cur_id));
    *lg.add_node() = node;

    // The names the node reads: its inputs, then what its subgraphs read
    // from outside.
    std::vector<std::string> reads;
    for (const auto& in : node.input()) {
      if (!in.empty()) reads.push_back(in);
    }
    if (has_subgraphs(node)) {
      std::unordered_set<std::string_view> seen(reads.begin(), reads.end());
      std::vector<std::string> outer;
      for (auto name : outer_scope_reads(node)) {
        if (seen.insert(name).second) outer.emplace_back(name);
      }
      reads.insert(reads.end(), outer.begin(), outer.end());
    }
    std::vector<const onnx::ValueInfoProto*> iinfos;
    std::vector<const onnx::TensorProto*> ivalues;
    for (const auto& name : reads) {
      const auto* info = input_info(name);
      if (info && !holds(iinfos, info)) iinfos.push_back(info);
      if (const auto* c = initializer(name)) {
        if (!holds(ivalues, c)) ivalues.push_back(c);
      } else {
        auto& ids = result.next_ids[name];
        if (ids.empty() || ids.back() != cur_id) ids.push_back(cur_id);
      }
    }
    result.free_lists.push_back(i);

    // The outputs' value information.
    auto output_info = [&](const std::string& name) -> const onnx::ValueInfoProto* {
      auto it = outputs_info.find(name);
      if (it != outputs_info.end()) return it->second;
      it = values_info.find(name);
      return it != values_info.end() ? it->second : nullptr;
    };
    std::vector<const onnx::ValueInfoProto*> oinfos;
    for (const auto& out : node.output()) {
      if (out.empty()) continue;  // an optional output not produced
      if (const auto* info = output_info(out)) {
        oinfos.push_back(info);
      } else {
        tarqLog::e(fmt::format("Should didnot run into this for '{}' ...", out));
        after_host_code();
      }
    }

    // Fusion with the single consumer, when that consumer reads one
    // computed tensor, the producer's output, through its first input, and
    // stands later in the graph; the producer's outputs must not be graph
    // outputs (no layer would give them).
    std::vector<const onnx::ValueInfoProto*> iinfos2;
    std::vector<const onnx::TensorProto*> ivalues2;
    const onnx::NodeProto* node2 = nullptr;
    if (fuse_op) {
      const auto consumers = next_nodes(node);
      if (consumers.size() == 1) {
        const onnx::NodeProto* next = consumers[0];
        int computed = 0;
        for (const auto& in : next->input()) {
          if (!in.empty() && !consts->count(in)) ++computed;
        }
        const int64_t at = index(*next);
        const bool placed = at > static_cast<int64_t>(i) && at < graph.node_size() &&
                            order[static_cast<size_t>(at)] == next;
        bool reads_first = next->input_size() > 0;
        if (reads_first) {
          reads_first = false;
          for (const auto& out : node.output()) reads_first |= out == next->input(0);
        }
        bool outputs_kept = true;
        for (const auto& out : node.output()) outputs_kept &= !graph_outputs.count(out);
        if (computed == 1 && placed && reads_first && outputs_kept) {
          // A Conv whose kind cannot be told (a shape it needs is unknown)
          // stays a layer of its own.
          bool fuse = false;
          try {
            fuse = can_fuse(node, *next, true, quant_tab);
          } catch (const ValueError&) {
          } catch (const IndexError&) {
          }
          after_host_code();
          if (fuse) node2 = next;
        }
      }
    }
    if (node2) {
      *lg.add_node() = *node2;
      for (int k = 1; k < node2->input_size(); ++k) {
        const std::string name = node2->input(k);
        if (name.empty()) continue;
        const auto* info = input_info(name);
        if (info && !holds(iinfos, info) && !holds(iinfos2, info)) iinfos2.push_back(info);
        if (const auto* c = initializer(name)) {
          if (!holds(ivalues, c) && !holds(ivalues2, c)) ivalues2.push_back(c);
        }
      }
      oinfos.clear();
      for (const auto& out : node2->output()) {
        if (const auto* info = output_info(out)) oinfos.push_back(info);
      }
      frees->extend(i, frees->list(static_cast<size_t>(index(*node2))));
      node_fused.insert(node2);
    }
    for (const auto* info : iinfos) *lg.add_input() = *info;
    for (const auto* info : iinfos2) *lg.add_input() = *info;
    for (const auto* c : ivalues) *lg.add_initializer() = *c;
    for (const auto* c : ivalues2) *lg.add_initializer() = *c;
    for (const auto* info : oinfos) *lg.add_output() = *info;

    if (dynamic_idx) specialise_layer(lg, *dynamic_idx, *layer_owner);
    after_host_code();

    // A one-node layer whose outputs all have a shape is not inferred again:
    // the inference of the whole model (with data propagation, which sees
    // more than the layer alone) already gave them.
    bool settled = !node2 && static_cast<int>(oinfos.size()) == named_outputs(node);
    for (const auto* info : oinfos) settled = settled && info->type().tensor_type().has_shape();
    OwnerPtr layer = make_model(std::move(lg), imports, false, !settled);
    auto& model = layer->root_as<onnx::ModelProto>();
    const std::string why = invalid_reason(model);
    if (!why.empty()) {
      tarqLog::e(fmt::format("{}: layer {} ('{}') is not a valid model: {}", kOp, cur_id,
                             model.graph().name(), why));
      after_host_code();
    }
    for (const auto& info : model.graph().output()) outputs_info[info.name()] = &info;
    result.layers.push_back(std::move(layer));
  }
  return result;
}

// The layer's shapes, and with dynamic_diff its Reshape targets, as they are
// in configuration `idx`.
void IRGraph::specialise_layer(onnx::GraphProto& layer, int64_t idx, MessageOwner& owner) {
  const auto shapes = dynamic_shapes;
  if (!shapes) return;
  auto specialise = [&](onnx::ValueInfoProto& info) {
    if (!shapes->contains(info.name())) return;
    const auto list = shapes->get(info.name());
    const Shape& shape = shape_in(list, idx, info.name());
    if (inf_shape(info) != shape) inf_shape_set(info, shape, &owner);
  };
  for (auto& info : *layer.mutable_input()) specialise(info);
  for (auto& info : *layer.mutable_output()) specialise(info);
  for (auto& info : *layer.mutable_value_info()) specialise(info);
  if (!dynamic_diff || dynamic_diff->empty()) return;
  for (const auto& node : layer.node()) {
    if (node.op_type() != "Reshape" || node.input_size() < 2 || node.output_size() < 1) continue;
    const auto list = shapes->get(node.output(0));
    const Shape& shape = shape_in(list, idx, node.output(0));
    NdArray target(kInt64, {static_cast<int64_t>(shape.size())});
    for (size_t k = 0; k < shape.size(); ++k) {
      const auto* v = std::get_if<int64_t>(&shape[k]);
      if (!v) {
        throw ValueError(fmt::format("{}: the shape of '{}' in configuration {} is not fixed", kOp,
                                     node.output(0), idx));
      }
      target.mutable_data_as<int64_t>()[k] = *v;
    }
    for (auto& t : *layer.mutable_initializer()) {
      if (t.name() == node.input(1)) set_array(t, target, true, &owner);
    }
  }
}

}  // namespace tarq
