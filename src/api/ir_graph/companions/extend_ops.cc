#include "tarq/api/ir_graph/companions/extend_ops.h"

#include <onnx/onnx_pb.h>
#include <onnx/shape_inference/implementation.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/message_owner.h"

namespace tarq {

namespace {

ExtendOpRegistry default_registry() {
  ExtendOpRegistry ops;
  // Element-wise activations and normalisations keep input 0's shape and type.
  for (const char* name :
       {"exActivation", "exGelu", "exHardSwish", "exMish", "exSwish", "exSoftmax", "exLayerNorm",
        "exRMSNorm", "exNorm", "exMeanVarianceNormalization"}) {
    ops.emplace(name, ExtendOp{true});
  }
  for (const char* name : {"exMatMul", "exConvStreaming", "exConvTransposePad", "exGRU", "exLSTM",
                           "exGlu", "exRfftn", "exIRfftn", "exSDPAttention"}) {
    ops.emplace(name, ExtendOp{false});
  }
  return ops;
}

ExtendOpRegistry& registry() {
  static ExtendOpRegistry ops = default_registry();
  return ops;
}

bool has_complete_type(const onnx::ValueInfoProto& vi) {
  const auto& t = vi.type();
  return t.has_tensor_type() && t.tensor_type().elem_type() != 0 && t.tensor_type().has_shape();
}

// The values of a small int64 constant: an initializer or a Constant node's;
// nullopt for another type or data that does not read as its dims say.
std::optional<std::vector<int64_t>> int64_values(const onnx::TensorProto* t) {
  if (!t || t->data_type() != onnx::TensorProto::INT64) return std::nullopt;
  try {
    const NdArray a = helpers::to_array(*t);
    return std::vector<int64_t>(a.data_as<int64_t>(), a.data_as<int64_t>() + a.size());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The output shape of a "Reshape_" node (a Reshape that shape inference
// leaves alone while configurations are derived): the Reshape rule applied
// to the input's shape as it now is, so each configuration gets its own.
// Dimensions it cannot tell are nullopt; nullopt overall when the target is
// not a constant or is malformed.
std::optional<std::vector<std::optional<int64_t>>> reshape_shape(
    const onnx::NodeProto& n, const onnx::ValueInfoProto& src,
    const std::unordered_map<std::string, const onnx::TensorProto*>& constants) {
  if (n.input_size() < 2) return std::nullopt;
  auto c = constants.find(n.input(1));
  auto target = int64_values(c == constants.end() ? nullptr : c->second);
  if (!target) return std::nullopt;
  bool allowzero = false;
  for (const auto& a : n.attribute()) {
    if (a.name() == "allowzero") allowzero = a.i() != 0;
  }
  std::vector<std::optional<int64_t>> in;
  for (const auto& d : src.type().tensor_type().shape().dim()) {
    in.push_back(d.has_dim_value() ? std::optional<int64_t>(d.dim_value()) : std::nullopt);
  }
  std::vector<std::optional<int64_t>> out;
  int infer_at = -1;
  for (size_t k = 0; k < target->size(); ++k) {
    const int64_t t = (*target)[k];
    if (t == 0 && !allowzero) {
      if (k >= in.size()) return std::nullopt;
      out.push_back(in[k]);
    } else if (t == -1) {
      if (infer_at >= 0) return std::nullopt;
      infer_at = static_cast<int>(k);
      out.push_back(std::nullopt);
    } else if (t < 0) {
      return std::nullopt;
    } else {
      out.push_back(t);
    }
  }
  if (infer_at >= 0) {
    int64_t total = 1, rest = 1;
    bool known = true;
    for (const auto& d : in) known = known && d && (total *= *d, true);
    for (size_t k = 0; k < out.size(); ++k) {
      if (static_cast<int>(k) != infer_at) known = known && out[k] && (rest *= *out[k], true);
    }
    if (known && rest > 0 && total % rest == 0) out[static_cast<size_t>(infer_at)] = total / rest;
  }
  return out;
}

}  // namespace

const ExtendOpRegistry& extend_ops() { return registry(); }

void set_extend_ops(ExtendOpRegistry ops) { registry() = std::move(ops); }

bool is_extend_op(std::string_view op_type) { return registry().count(op_type) != 0; }

bool update_model_value_info(IRGraph* /*graph*/, onnx::ModelProto& model, bool dynamic,
                             MessageOwner* park_into) {
  auto* g = model.mutable_graph();
  const auto& ops = registry();
  bool uses_extended = false;
  for (const auto& n : g->node()) {
    if (ops.count(n.op_type()) || n.op_type() == "Reshape_") {
      uses_extended = true;
      break;
    }
  }
  if (!uses_extended) return false;
  std::unordered_map<std::string, const onnx::TensorProto*> constants;
  for (const auto& t : g->initializer()) constants.emplace(t.name(), &t);
  for (const auto& n : g->node()) {
    if (n.op_type() != "Constant" || n.output_size() == 0) continue;
    for (const auto& a : n.attribute()) {
      if (a.name() == "value" && a.has_t()) constants.emplace(n.output(0), &a.t());
    }
  }

  // One round of completion; returns whether it added anything.
  auto complete = [&] {
    bool added = false;
    // Value infos by name; pointers stay valid while entries are only added
    // (RepeatedPtrField keeps its elements in place).
    std::unordered_map<std::string, onnx::ValueInfoProto*> info;
    for (auto* list : {g->mutable_input(), g->mutable_output(), g->mutable_value_info()}) {
      for (auto& vi : *list) info.emplace(vi.name(), &vi);
    }
    bool changed = true;
    for (int pass = 0; changed && pass <= g->node_size(); ++pass) {
      changed = false;
      for (const auto& n : g->node()) {
        const bool reshape = n.op_type() == "Reshape_";
        auto op = ops.find(n.op_type());
        if (!reshape && (op == ops.end() || !op->second.same_as_input0)) continue;
        if (n.input_size() == 0) continue;
        auto src = info.find(n.input(0));
        if (src == info.end() || !has_complete_type(*src->second)) continue;
        if (reshape) {
          auto shape = reshape_shape(n, *src->second, constants);
          if (!shape || n.output_size() == 0 || n.output(0).empty()) continue;
          auto dst = info.find(n.output(0));
          if (dst != info.end() && has_complete_type(*dst->second)) continue;
          onnx::ValueInfoProto* vi = dst != info.end() ? dst->second : g->add_value_info();
          if (dst == info.end()) {
            vi->set_name(n.output(0));
            info.emplace(n.output(0), vi);
          }
          if (park_into && vi->has_type()) park_into->park_contents(vi->mutable_type());
          auto* tt = vi->mutable_type()->mutable_tensor_type();
          tt->set_elem_type(src->second->type().tensor_type().elem_type());
          auto* dims = tt->mutable_shape();
          for (const auto& d : *shape) {
            auto* dim = dims->add_dim();
            if (d) dim->set_dim_value(*d);
          }
          changed = added = true;
          continue;
        }
        for (const auto& out : n.output()) {
          if (out.empty()) continue;
          auto dst = info.find(out);
          onnx::ValueInfoProto* vi = nullptr;
          if (dst == info.end()) {
            vi = g->add_value_info();
            vi->set_name(out);
            info.emplace(out, vi);
          } else if (!has_complete_type(*dst->second)) {
            vi = dst->second;
          } else {
            continue;
          }
          if (park_into && vi->has_type()) park_into->park_contents(vi->mutable_type());
          *vi->mutable_type() = src->second->type();
          changed = added = true;
        }
      }
    }
    return added;
  };
  bool added = complete();
  // While configurations are derived, a Reshape_ output completed here lets
  // shape inference go on past it: infer again until nothing new appears.
  // (Only on the derivation's private copy: inference rewrites the value
  // information wholesale.)
  for (int round = 0; dynamic && added && round < 16; ++round) {
    try {
      onnx::shape_inference::InferShapes(model);
    } catch (...) {
      break;
    }
    added = complete();
  }
  return true;
}

}  // namespace tarq
