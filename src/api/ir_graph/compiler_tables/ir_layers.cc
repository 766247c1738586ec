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
#include <google/protobuf/arena.h>
#include <google/protobuf/util/message_differencer.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "../graph_core/host_calls.h"
#include "../graph_core/model_header.h"
#include "../graph_core/shape_copy.h"
#include "../graph_core/subgraphs.h"
#include "layer_check.h"
#include "layer_sources.h"
#include "tarq/api/ir_graph/companions/extend_ops.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/progress.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

// Shape inference of the whole model is most of an export's time on real
// models, and exports come in series on one model (per target, with and
// without fusion): the result is kept with the content it was given, and
// taken again while that content is unchanged. The key is the content
// itself, not a count of edits, which views of the model would not raise.
// What is kept is never edited after, so exports may share it.
struct LayerInference {
  std::string key;  // inference_key of the model it was inferred from
  OwnerPtr graph;   // a GraphProto: the inferred outputs and value information
};

namespace {

constexpr const char* kOp = "create_ir_layers";

// A model whose key would pass this is inferred for every export: the
// graph would hold that much again.
constexpr size_t kInferenceKeyLimit = 64 << 20;

// What the inference of an export reads: the model's shape copy and the
// extended operators' registry, which completes their outputs.
std::optional<std::string> inference_key(onnx::ModelProto& model) {
  auto key = shape_copy_key(model, kInferenceKeyLimit);
  if (!key) return std::nullopt;
  for (const auto& [name, op] : extend_ops()) {
    *key += fmt::format("\n{}:{}:{}", name.size(), name, op.same_as_input0 ? 1 : 0);
  }
  return key;
}

// What the layers read of the model's inference (its graph's outputs and
// value information); the rest of the copy is freed.
std::shared_ptr<const LayerInference> infer_layer_infos(IRGraph& g, onnx::ModelProto& model,
                                                        std::string key) {
  OwnerPtr copy = g.infer_shapes(shape_copy(model), false, false, true);
  auto* inferred = copy->root_as<onnx::ModelProto>().mutable_graph();
  auto kept = std::make_unique<onnx::GraphProto>();
  kept->mutable_output()->Swap(inferred->mutable_output());
  kept->mutable_value_info()->Swap(inferred->mutable_value_info());
  return std::make_shared<const LayerInference>(
      LayerInference{std::move(key), std::make_shared<MessageOwner>(std::move(kept))});
}

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

// The arena the layers of one export share.
std::shared_ptr<google::protobuf::Arena> layer_arena() {
  google::protobuf::ArenaOptions options;
  options.start_block_size = 64 << 10;
  options.max_block_size = 1 << 20;
  return std::make_shared<google::protobuf::Arena>(options);
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
  OpsetImports imports;
  for (const auto& op : model_->opset_import()) imports.emplace_back(op.domain(), op.version());

  // Value information comes from inference with data propagation on a
  // copy of the model (the graph's model keeps what it states). When the
  // model already gives every node output a fully fixed shape, that
  // inference could add nothing, and the model's own is taken.
  LayerSources sources(graph);
  std::shared_ptr<const LayerInference> inferred;  // keeps what `sources` points to
  if (!sources.settles()) {
    try {
      auto key = inference_key(*model_);
      if (key && layer_inference_ && layer_inference_->key == *key) {
        inferred = layer_inference_;
      } else {
        inferred = infer_layer_infos(*this, *model_, key.value_or(std::string()));
        layer_inference_ = key ? inferred : nullptr;
      }
      sources.take_infos(inferred->graph->root_as<onnx::GraphProto>());
    } catch (const std::exception& e) {
      tarqLog::e(
          fmt::format("{}: shape inference of the model failed ({}); the layers take the "
                      "value information the model states",
                      kOp, e.what()));
      after_host_code();
    }
  }
  // What a layer reads: the declaration of its input and, for a constant,
  // the tensor; a computed tensor's readers are recorded.
  IrLayers result;
  auto read = [&](const std::string& name, int64_t layer_id) {
    LayerSources::Entry* e = sources.find(name);
    const onnx::ValueInfoProto* info = e ? sources.input_info(*e) : nullptr;
    if (!info) {
      tarqLog::e(fmt::format("Can not find tensor value info for '{}'!", name));
      after_host_code();
    }
    const onnx::TensorProto* value = e ? e->value : nullptr;
    if (!value && layer_id >= 0) {
      ReaderIds* ids;
      if (e && e->reader_slot >= 0) {
        ids = &result.next_ids.nth(static_cast<size_t>(e->reader_slot)).value();
      } else {
        if (e) e->reader_slot = static_cast<int64_t>(result.next_ids.size());
        auto it = result.next_ids.find(name);
        if (it == result.next_ids.end()) {
          it = result.next_ids.try_emplace(result.names->copy(name), result.reader_memory.get())
                   .first;
        }
        ids = &it.value();
      }
      if (ids->empty() || ids->back() != layer_id) ids->push_back(layer_id);
    }
    return std::make_pair(info, value);
  };
  // The outputs' value information, as entries of `sources`, of node k.
  auto output_entries = [&](const onnx::NodeProto& n, size_t k,
                            std::vector<LayerSources::Entry*>& entries, bool report) {
    entries.clear();
    const auto [begin, end] = sources.outputs_of(k);
    for (auto it = begin; it != end; ++it) {
      LayerSources::Entry* e = *it;
      if (!e) continue;  // an optional output not produced
      if (e->info) {
        entries.push_back(e);
      } else if (report) {
        // An earlier report's handler may have edited the node in place.
        const int at = static_cast<int>(it - begin);
        const std::string out = at < n.output_size() ? n.output(at) : std::string();
        tarqLog::e(fmt::format("Should didnot run into this for '{}' ...", out));
        after_host_code();
      }
    }
  };
  const LayerChecker checker(imports);

  // The layers of one export share one arena: building and freeing them
  // then costs a few large allocations instead of dozens per layer.
  const auto arena = layer_arena();

  result.frees = frees;
  result.layers.reserve(order.size());
  result.free_lists.reserve(order.size());
  result.next_ids.reserve(order.size());
  // About one list of one id per node: a first block that size.
  result.reader_memory =
      std::make_shared<std::pmr::monotonic_buffer_resource>(order.size() * sizeof(int64_t) + 256);
  std::unordered_set<const onnx::NodeProto*> node_fused;
  LayerCheckQueue checks(checker);  // declared after what it reads: stops first
  std::optional<Progress> progress;
  if (log) progress.emplace("I GraphPreparing ", order.size(), 100);

  // Per layer; kept across layers for their capacity.
  std::vector<std::string> reads;
  std::vector<const onnx::ValueInfoProto*> iinfos, iinfos2;
  std::vector<const onnx::TensorProto*> ivalues, ivalues2;
  std::vector<LayerSources::Entry*> outs, inner;
  for (size_t i = 0; i < order.size(); ++i) {
    if (progress) progress->advance();
    const onnx::NodeProto& node = *order[i];
    if (node_fused.erase(&node)) continue;  // emitted with its producer
    const int64_t cur_id = static_cast<int64_t>(result.layers.size());

    auto* model = google::protobuf::Arena::CreateMessage<onnx::ModelProto>(arena.get());
    set_assembled_header(*model, imports);
    auto layer = std::make_shared<MessageOwner>(arena, model);
    onnx::GraphProto& lg = *model->mutable_graph();
    lg.set_name(layer_name(node, cur_id));
    *lg.add_node() = node;

    // The names the node reads: its inputs, then what its subgraphs read
    // from outside.
    reads.clear();
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
    iinfos.clear();
    ivalues.clear();
    for (const auto& name : reads) {
      const auto [info, c] = read(name, cur_id);
      if (info && !holds(iinfos, info)) iinfos.push_back(info);
      if (c && !holds(ivalues, c)) ivalues.push_back(c);
    }
    result.free_lists.push_back(i);
    output_entries(node, i, outs, true);

    // Fusion with the single consumer, when that consumer reads one
    // computed tensor, the producer's output, through its first input, and
    // stands later in the graph; the producer's outputs must not be graph
    // outputs (no layer would give them).
    iinfos2.clear();
    ivalues2.clear();
    const onnx::NodeProto* node2 = nullptr;
    size_t at2 = 0;
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
        const auto [first, last] = sources.outputs_of(i);
        const bool outputs_kept = std::none_of(
            first, last, [](const LayerSources::Entry* e) { return e && e->graph_output; });
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
          if (fuse) {
            node2 = next;
            at2 = static_cast<size_t>(at);
          }
        }
      }
    }
    if (node2) {
      *lg.add_node() = *node2;
      for (int k = 1; k < node2->input_size(); ++k) {
        const std::string name = node2->input(k);
        if (name.empty()) continue;
        const auto [info, c] = read(name, -1);
        if (info && !holds(iinfos, info) && !holds(iinfos2, info)) iinfos2.push_back(info);
        if (c && !holds(ivalues, c) && !holds(ivalues2, c)) ivalues2.push_back(c);
      }
      inner.swap(outs);  // the producer's outputs stay inside the layer
      output_entries(*node2, at2, outs, false);
      frees->extend(i, frees->list(at2));
      node_fused.insert(node2);
    }
    for (const auto* info : iinfos) *lg.add_input() = *info;
    for (const auto* info : iinfos2) *lg.add_input() = *info;
    for (const auto* c : ivalues) *lg.add_initializer() = *c;
    for (const auto* c : ivalues2) *lg.add_initializer() = *c;
    for (const auto* entry : outs) *lg.add_output() = *entry->info;

    if (dynamic_idx) specialise_layer(lg, *dynamic_idx, *layer);
    after_host_code();

    // A layer whose tensors all have a shape is not inferred again: the
    // inference of the whole model (with data propagation, which sees more
    // than the layer alone) already gave them. A fused layer then takes the
    // value information of its producer's outputs from there, as inference
    // would have added it.
    auto shaped = [](const std::vector<LayerSources::Entry*>& entries, const onnx::NodeProto& n) {
      if (static_cast<int>(entries.size()) != named_outputs(n)) return false;
      return std::all_of(entries.begin(), entries.end(), [](const LayerSources::Entry* e) {
        return e->info->type().tensor_type().has_shape();
      });
    };
    bool settled = shaped(outs, node2 ? *node2 : node);
    if (node2) {
      settled = settled && shaped(inner, node);
      if (settled) {
        for (const auto* entry : inner) *lg.add_value_info() = *entry->info;
      }
    }
    if (!settled) infer_shapes(layer, false);
    bool extended = false;
    for (const auto& n : lg.node()) extended = extended || is_extend_op(n.op_type());
    checks.add(model, extended);
    // Later layers read these outputs as the layer states them.
    for (size_t k = 0; k < outs.size(); ++k) {
      outs[k]->info = &lg.output(static_cast<int>(k));
      outs[k]->given = true;
    }
    result.layers.push_back(std::move(layer));
  }
  // Invalid layers are reported last, in layer order.
  const std::vector<std::string> reasons = checks.finish();
  for (size_t k = 0; k < reasons.size(); ++k) {
    if (reasons[k].empty()) continue;
    const auto& model = result.layers[k]->root_as<onnx::ModelProto>();
    tarqLog::e(fmt::format("{}: layer {} ('{}') is not a valid model: {}", kOp, k,
                           model.graph().name(), reasons[k]));
    after_host_code();
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
