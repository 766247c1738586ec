#include "tarq/api/ir_graph/companions/extend_ops.h"

#include <onnx/onnx_pb.h>

#include <unordered_map>

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

}  // namespace

const ExtendOpRegistry& extend_ops() { return registry(); }

void set_extend_ops(ExtendOpRegistry ops) { registry() = std::move(ops); }

bool is_extend_op(std::string_view op_type) { return registry().count(op_type) != 0; }

bool update_model_value_info(IRGraph* /*graph*/, onnx::ModelProto& model, bool /*dynamic*/,
                             MessageOwner* park_into) {
  auto* g = model.mutable_graph();
  const auto& ops = registry();
  bool uses_extended = false;
  for (const auto& n : g->node()) {
    if (ops.count(n.op_type())) {
      uses_extended = true;
      break;
    }
  }
  if (!uses_extended) return false;

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
      auto op = ops.find(n.op_type());
      if (op == ops.end() || !op->second.same_as_input0 || n.input_size() == 0) continue;
      auto src = info.find(n.input(0));
      if (src == info.end() || !has_complete_type(*src->second)) continue;
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
        changed = true;
      }
    }
  }
  return true;
}

}  // namespace tarq
