// Batch expansion: a model converted for one sample per run is rebuilt for
// batch_size samples. The graph inputs get the new leading dimension; the
// constants and attributes that fix a batch of one are rewritten for the
// operators that carry them (Reshape targets, Transpose permutations, Resize
// sizes, Slice ends over the batch axis, LSTM initial states); inference,
// with data propagation so that shapes computed by Shape -> Gather -> Concat
// chains are known, must then give every tensor a fully known shape.
//
// Everything happens on a copy of the model: a refusal leaves the model and
// the tables exactly as they were, and only a complete result replaces the
// model (the tables are then rebuilt). A Transpose is rewritten only where
// its input really gained a leading dimension (a Reshape that inserted one
// upstream); a transformer's [1, 0, 2] over [sequence, batch, hidden] keeps
// its meaning untouched. A Reshape of what no graph input feeds (a weight
// reshaped in the graph) is left alone.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../graph_core/parking.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

const char kRefused[] = "This model does not support expand batch!";

std::optional<NdArray> array_of(IRGraph::ConstRead r) {
  if (auto* a = std::get_if<NdArray>(&r)) return std::move(*a);
  return std::nullopt;
}

int64_t first_of(const NdArray& a) {
  if (a.size() == 0) throw ValueError("an empty constant");
  return a.astype(kInt64).data_as<int64_t>()[0];
}

NdArray int64_array(const std::vector<int64_t>& v, int32_t elem_type) {
  NdArray out(kInt64, {static_cast<int64_t>(v.size())});
  std::copy(v.begin(), v.end(), out.mutable_data_as<int64_t>());
  return elem_type == kInt64 ? out : out.astype(elem_type);
}

std::vector<int64_t> int64_values(const NdArray& a) {
  NdArray x = a.astype(kInt64);
  return std::vector<int64_t>(x.data_as<int64_t>(), x.data_as<int64_t>() + x.size());
}

// The value information of every name the model describes.
std::unordered_map<std::string, const onnx::ValueInfoProto*> infos_of(
    const onnx::GraphProto& graph) {
  std::unordered_map<std::string, const onnx::ValueInfoProto*> out;
  for (const auto* list : {&graph.input(), &graph.output(), &graph.value_info()}) {
    for (const auto& vi : *list) out.emplace(vi.name(), &vi);
  }
  return out;
}

// Leaves the outputs' shapes to inference (the element types stay), so that
// what it infers can be held against the expected shapes: a declared shape
// wins over an inferred one that contradicts it.
void release_output_shapes(onnx::ModelProto& model, MessageOwner& owner) {
  for (auto& vi : *model.mutable_graph()->mutable_output()) {
    if (!vi.type().has_tensor_type() || !vi.type().tensor_type().has_shape()) continue;
    owner.park(std::unique_ptr<google::protobuf::Message>(
        vi.mutable_type()->mutable_tensor_type()->release_shape()));
  }
}

int rank_in(const std::unordered_map<std::string, const onnx::ValueInfoProto*>& infos,
            const std::string& name) {
  auto it = infos.find(name);
  if (it == infos.end() || !it->second->type().tensor_type().has_shape()) return -1;
  return it->second->type().tensor_type().shape().dim_size();
}

}  // namespace

bool IRGraph::expand_batch(int64_t batch_size) {
  require_current_tables("expand_batch");
  if (batch_size < 1) throw ValueError("expand_batch: the batch size must be positive");
  // Eligibility, before anything changes.
  for (const auto& name : NameVector(*inputs_)) {
    OperandPtr op = operand(name);
    if (!op || op->shape.empty()) {
      throw IndexError("expand_batch: the graph input '" + name + "' has no recorded shape");
    }
    const auto* d0 = std::get_if<int64_t>(&op->shape[0]);
    if (!d0 || *d0 != 1) {
      tarqLog::w("This model does not support expand batch, because the shape[0] of " + name +
                 " is not equal to 1!");
      return false;
    }
  }
  for (const auto& node : graph_->node()) {
    if (std::find(REDUCE_OPS.begin(), REDUCE_OPS.end(), node.op_type()) != REDUCE_OPS.end()) {
      tarqLog::w("This model does not support expand batch, because there is an OP of type " +
                 node.op_type() + "!");
      return false;
    }
  }

  // Refusals after the two above: the toolkit's warning, then the reason.
  auto refuse = [&](const std::string& reason) {
    tarqLog::w(kRefused);
    tarqLog::w("expand_batch(" + std::to_string(batch_size) + "): " + reason);
    return false;
  };
  // A graph input that a node reads as a weight is no batch of samples.
  {
    static const std::unordered_map<std::string, std::vector<int>> weight_slots{
        {"Conv", {1, 2}},
        {"ConvTranspose", {1, 2}},
        {"ConvInteger", {1, 3}},
        {"QLinearConv", {3, 8}},
        {"BatchNormalization", {1, 2, 3, 4}},
        {"InstanceNormalization", {1, 2}},
        {"LayerNormalization", {1, 2}},
        {"PRelu", {1}},
        {"Gemm", {1, 2}},
        {"LSTM", {1, 2, 3}},
        {"GRU", {1, 2, 3}},
        {"RNN", {1, 2, 3}}};
    const std::unordered_set<std::string> fed(inputs_->begin(), inputs_->end());
    for (const auto& node : graph_->node()) {
      // The indices of MaxPool and MaxUnpool count across the whole batch.
      if ((node.op_type() == "MaxPool" && node.output_size() > 1 && !node.output(1).empty()) ||
          node.op_type() == "MaxUnpool") {
        return refuse("the indices of " + node.op_type() + " '" + node.name() +
                      "' count across the batch");
      }
      auto slots = weight_slots.find(node.op_type());
      if (slots == weight_slots.end()) continue;
      for (int k : slots->second) {
        if (k < node.input_size() && fed.count(node.input(k))) {
          return refuse("the graph input '" + node.input(k) + "' is a weight of " + node.op_type() +
                        " '" + node.name() + "', not a batch of samples");
        }
      }
    }
  }
  // The shapes the original model states, for the Transpose rule.
  const auto before = infos_of(*graph_);
  OwnerPtr work = std::make_shared<MessageOwner>(std::make_unique<onnx::ModelProto>(*model_));
  auto* wmodel = &work->root_as<onnx::ModelProto>();
  try {
    auto* graph = wmodel->mutable_graph();
    clear_parked(graph->mutable_value_info(), work.get());
    for (auto& vi : *graph->mutable_input()) {
      if (consts_->count(vi.name())) continue;
      auto* shape = vi.mutable_type()->mutable_tensor_type()->mutable_shape();
      if (shape->dim_size() > 0) shape->mutable_dim(0)->set_dim_value(batch_size);
    }
    std::vector<std::string> transposes;  // names of Transpose nodes to look at after inference
    // The tensors a graph input feeds, directly or not.
    std::unordered_set<std::string> varying(inputs_->begin(), inputs_->end());
    for (bool grew = true; grew;) {
      grew = false;
      for (const auto& node : graph->node()) {
        const bool fed = std::any_of(node.input().begin(), node.input().end(),
                                     [&](const std::string& in) { return varying.count(in) != 0; });
        if (!fed) continue;
        for (const auto& out : node.output()) grew = varying.insert(out).second || grew;
      }
    }
    if (batch_size > 1) {
      std::unordered_set<std::string> expanded;
      auto rewrite = [&](const std::string& name, const NdArray& value) {
        set_const(name, value, true, wmodel, work.get());
        expanded.insert(name);
      };
      for (int i = 0; i < graph->node_size(); ++i) {
        onnx::NodeProto& node = *graph->mutable_node(i);
        const std::string& op = node.op_type();
        if (op == "Reshape" && node.input_size() > 1) {
          const std::string shape = node.input(1);
          // Reshaping what no graph input feeds (a weight) has nothing to
          // do with the batch.
          if (!varying.count(node.input(0))) continue;
          if (!consts_->count(shape) || expanded.count(shape)) continue;
          auto arr = array_of(get_const(shape, true, false, false));
          if (!arr) continue;
          std::vector<int64_t> v = int64_values(*arr);
          if (!v.empty() && v[0] == 1) {
            v[0] = batch_size;
          } else {
            v.insert(v.begin(), batch_size);
          }
          rewrite(shape, int64_array(v, arr->elem_type()));
        } else if (op == "Transpose") {
          transposes.push_back(node.name());
        } else if (op == "Resize" && node.input_size() > 3) {
          const std::string sizes = node.input(3);
          if (!consts_->count(sizes) || expanded.count(sizes)) continue;
          auto arr = array_of(get_const(sizes, true, true, false));
          if (arr && arr->size() >= 1 && first_of(*arr) == 1) {
            std::vector<int64_t> v = int64_values(*arr);
            v[0] = batch_size;
            rewrite(sizes, int64_array(v, arr->elem_type()));
          } else {
            tarqLog::e("Not support 'sizes' for Resize(" + node.name() + ")!");
          }
        } else if (op == "Slice" && node.input_size() > 2) {
          auto starts = array_of(get_const(node.input(1), true, true, false));
          auto ends = array_of(get_const(node.input(2), true, false, false));
          auto axes = array_of(get_const_optional(node, 3));
          auto steps = array_of(get_const_optional(node, 4));
          bool can_expand = true;
          if (starts && (starts->size() == 0 || first_of(*starts) != 0)) can_expand = false;
          if (ends && (ends->size() == 0 || first_of(*ends) != 1)) can_expand = false;
          if (axes && (axes->size() == 0 || first_of(*axes) != 0)) can_expand = false;
          if (steps && (steps->size() == 0 || first_of(*steps) != 1)) can_expand = false;
          const std::string end_name = node.input(2);
          if (can_expand && ends && !expanded.count(end_name)) {
            std::vector<int64_t> v = int64_values(*ends);
            v[0] = batch_size;
            rewrite(end_name, int64_array(v, ends->elem_type()));
          }
        } else if (op == "LSTM") {
          for (int k = 0; k < node.input_size(); ++k) {
            const std::string name = node.input(k);
            if (name.find("initial") == std::string::npos || expanded.count(name)) continue;
            auto val = array_of(get_const(name, true, true, false));
            if (!val) continue;
            if (val->ndim() != 3 || val->shape()[1] != 1) {
              throw ValueError("the LSTM state '" + name + "' does not hold one sample");
            }
            const Extents& s = val->shape();
            NdArray grown(val->elem_type(), {s[0], s[1] * batch_size, s[2]});
            const size_t row = static_cast<size_t>(s[2]) * elem_size(val->elem_type());
            const auto* from = static_cast<const char*>(val->data());
            auto* to = static_cast<char*>(grown.mutable_data());
            for (int64_t a = 0; a < s[0]; ++a) {
              for (int64_t b = 0; b < batch_size; ++b) {
                std::copy(from + a * row, from + (a + 1) * row,
                          to + (a * batch_size + b) * static_cast<int64_t>(row));
              }
            }
            rewrite(name, grown);
          }
        }
      }
    }
    auto infer_released = [&] {
      release_output_shapes(*wmodel, *work);
      work = infer_shapes(work, true, false, true);
      wmodel = &work->root_as<onnx::ModelProto>();
    };
    infer_released();

    // A Transpose whose input gained a leading dimension keeps the batch
    // first: [0] followed by the old permutation shifted by one.
    if (batch_size > 1 && !transposes.empty()) {
      const auto after = infos_of(wmodel->graph());
      bool changed = false;
      for (auto& node : *wmodel->mutable_graph()->mutable_node()) {
        if (node.op_type() != "Transpose" || node.input_size() == 0) continue;
        const int was = rank_in(before, node.input(0)), now = rank_in(after, node.input(0));
        if (was < 0 || now != was + 1) continue;
        const AttrValue value = get_attr(node, "perm");
        const auto* perm = std::get_if<std::vector<int64_t>>(&value);
        if (!perm || perm->empty() || (*perm)[0] == 0) continue;
        std::vector<int64_t> fresh{0};
        for (int64_t p : *perm) fresh.push_back(p + 1);
        set_attr(node, "perm", AttrValue{fresh}, work);
        changed = true;
      }
      if (changed) {
        clear_parked(wmodel->mutable_graph()->mutable_value_info(), work.get());
        infer_released();
      }
    }
  } catch (const std::exception& e) {
    return refuse(e.what());
  }

  // Complete: every tensor that is not a constant and that a node reads or
  // the graph puts out has value information with a shape of known sizes (0
  // included: an empty tensor is complete). An output nothing reads (the
  // mask of a Dropout) plays no part in what the model computes.
  const auto& g = wmodel->graph();
  const auto infos = infos_of(g);
  auto complete = [&](const std::string& name) -> std::string {
    if (name.empty() || consts_->count(name)) return {};
    auto it = infos.find(name);
    if (it == infos.end()) return "'" + name + "' has no value information after inference";
    const auto& type = it->second->type();
    if (!type.has_tensor_type()) return {};  // sequences and maps carry no shape to check
    if (!type.tensor_type().has_shape()) return "'" + name + "' has no shape after inference";
    for (const auto& d : type.tensor_type().shape().dim()) {
      if (!d.has_dim_value() || d.dim_value() < 0) {
        return "'" + name + "' has the shape " + shape_text(inf_shape(*it->second)) +
               " after inference";
      }
    }
    return {};
  };
  for (const auto& vi : g.input()) {
    if (auto why = complete(vi.name()); !why.empty()) return refuse(why);
  }
  std::unordered_set<std::string> read;
  for (const auto& node : g.node()) read.insert(node.input().begin(), node.input().end());
  for (const auto& node : g.node()) {
    for (const auto& out : node.output()) {
      if (!read.count(out)) continue;
      if (auto why = complete(out); !why.empty()) return refuse(why);
    }
  }
  for (const auto& vi : g.output()) {
    if (auto why = complete(vi.name()); !why.empty()) return refuse(why);
  }
  // Each graph output must be what it was, batch_size times along one axis
  // (the batch need not come first: [sequence, batch, hidden]) or with a new
  // leading axis of batch_size; otherwise the batch does not reach it, or a
  // graph input was no batch of samples, and the expansion changed what is
  // computed.
  for (const auto& vi : g.output()) {
    auto was = before.find(vi.name());
    if (was == before.end()) continue;
    const Shape old_shape = inf_shape(*was->second);
    const Shape got = inf_shape(*infos.at(vi.name()));
    // A new leading axis of batch_size (a Reshape added one) ...
    bool fits = got.size() == old_shape.size() + 1 && got[0] == Dim{batch_size} &&
                std::equal(old_shape.begin(), old_shape.end(), got.begin() + 1);
    // ... or one axis batch_size times as long.
    if (!fits && got.size() == old_shape.size()) {
      int grown = 0;
      fits = true;
      for (size_t k = 0; fits && k < got.size(); ++k) {
        const auto* o = std::get_if<int64_t>(&old_shape[k]);
        const auto* n = std::get_if<int64_t>(&got[k]);
        if (!o || !n || *o == *n) continue;
        if (*n == *o * batch_size) {
          ++grown;
        } else {
          fits = false;
        }
      }
      fits = fits && grown == (batch_size > 1 ? 1 : 0);
    }
    if (!fits) {
      return refuse("the output '" + vi.name() + "' would have the shape " + shape_text(got) +
                    " for " + shape_text(old_shape) + " per sample");
    }
  }

  set_model(work);
  rebuild();
  expand_batch_size = batch_size;
  return true;
}

}  // namespace tarq
