// Redefinition of the graph inputs and outputs, the rebuild's first change to
// the model when the caller names a new boundary (edit_par).
//
// Requires: the names of the initializers and the element types of the old
// graph inputs, taken before. Guarantees: the new inputs stand first in
// graph.input, in the given order and ahead of the inputs that declare
// initializers; initial values follow the initializers; graph.output holds
// exactly the new outputs, in order. A name that is no tensor of the graph,
// or that is named as both an input and an output, is reported at error
// level and the redefinition goes on. Nodes that fall outside the new
// boundary stay: clean_node is turned on so that the cleaning after it
// removes them. Entries that leave the lists are parked (views of them stay
// readable); a kept output is the same message as before.
// Effect on failure: a `shapes` or `values` list too short for the inputs is
// refused (IndexError) before the model changes; a failing shape inference
// or an initial value that cannot be encoded propagates, the model changed
// as far as the steps got.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <unordered_set>

#include "parking.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/name_hash.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

using NameSet = std::unordered_set<std::string, NameHash, std::equal_to<>>;

// A name as the messages write it: quoted the way the toolkit's lists print
// their strings ('a', or "it's" when it holds a single quote only).
std::string quoted(const std::string& s) {
  const bool has_single = s.find('\'') != std::string::npos;
  const char q = has_single && s.find('"') == std::string::npos ? '"' : '\'';
  std::string out(1, q);
  for (unsigned char c : s) {
    if (c == '\\' || c == static_cast<unsigned char>(q)) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      static const char hex[] = "0123456789abcdef";
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + q;
}

// ['a', 'b']
std::string list_text(const std::vector<std::string>& names) {
  std::string out = "[";
  for (size_t i = 0; i < names.size(); ++i) out += (i ? ", " : "") + quoted(names[i]);
  return out + "]";
}

// The name of an element type as the host's arrays call it (float32, int64).
std::string array_type_name(int32_t code) {
  switch (code) {
    case kFloat:
      return "float32";
    case kUint8:
      return "uint8";
    case kInt8:
      return "int8";
    case kUint16:
      return "uint16";
    case kInt16:
      return "int16";
    case kInt32:
      return "int32";
    case kInt64:
      return "int64";
    case kString:
      return "object";
    case kBool:
      return "bool";
    case kFloat16:
      return "float16";
    case kDouble:
      return "float64";
    case kUint32:
      return "uint32";
    case kUint64:
      return "uint64";
    case kComplex64:
      return "complex64";
    case kComplex128:
      return "complex128";
    case kBfloat16:
      return "bfloat16";
    case kFloat8e4m3fn:
      return "float8_e4m3fn";
    case kFloat8e4m3fnuz:
      return "float8_e4m3fnuz";
    case kFloat8e5m2:
      return "float8_e5m2";
    case kFloat8e5m2fnuz:
      return "float8_e5m2fnuz";
    case kUint4:
      return "uint4";
    case kInt4:
      return "int4";
    case kFloat4e2m1:
      return "float4_e2m1fn";
    case kFloat8e8m0:
      return "float8_e8m0fnu";
    case kUint2:
      return "uint2";
    case kInt2:
      return "int2";
    case kFloat6e2m3:
      return "float6_e2m3fn";
    case kFloat6e3m2:
      return "float6_e3m2fn";
    default:
      return elem_type_name(code);
  }
}

// Moves the last element of `list` to position i.
template <class M>
void move_last_to(google::protobuf::RepeatedPtrField<M>* list, int i) {
  std::rotate(list->pointer_begin() + i, list->pointer_end() - 1, list->pointer_end());
}

}  // namespace

void IRGraph::redefine_boundary(const EditPar& p, const NameVector& const_names,
                                const tsl::ordered_map<std::string, int32_t>& old_inputs,
                                bool& clean_node) {
  // Every position the inputs read must be there, before anything changes.
  if (!p.inputs.empty()) {
    auto require = [&](size_t have, const char* key) {
      if (have >= p.inputs.size()) return;
      throw IndexError("edit_par['" + std::string(key) + "'] has no entry for input " +
                       std::to_string(have) + " (" + quoted(p.inputs[have]) + ") of " +
                       list_text(p.inputs));
    };
    require(p.shapes.size(), "shapes");
    if (!p.values.empty()) require(p.values.size(), "values");
  }

  // The names the new boundary may use: what the nodes read (constants
  // aside) and write.
  NameSet constants(const_names.begin(), const_names.end());
  NameSet known;
  for (const auto& node : model_->graph().node()) {
    for (const auto& in : node.input()) {
      if (!in.empty() && !constants.count(in)) known.insert(in);
    }
    for (const auto& out : node.output()) known.insert(out);
  }

  // Element types come from the value information: infer it when there is
  // none. Inference works on the model in place.
  if (model_->graph().value_info_size() == 0) infer_shapes(model_owner_);
  onnx::GraphProto* g = model_->mutable_graph();
  tsl::ordered_map<std::string, int32_t> value_types;
  for (const auto& vi : g->value_info()) {
    value_types.insert_or_assign(vi.name(), vi.type().tensor_type().elem_type());
  }

  MessageOwner& owner = *model_owner_;
  if (!p.inputs.empty()) {
    // The old inputs go; inputs that declare initializers stay.
    {
      auto* list = g->mutable_input();
      for (auto* vi : take_all(list)) {
        if (old_inputs.count(vi->name())) {
          park_taken(list, vi, owner);
        } else {
          put_back(list, vi);
        }
      }
    }
    for (size_t i = 0; i < p.inputs.size(); ++i) {
      const std::string& name = p.inputs[i];
      if (!known.count(name)) {
        tarqLog::e("The " + quoted(name) + " in inputs=" + list_text(p.inputs) + " is invalid!");
      }
      if (!p.outputs.empty() &&
          std::find(p.outputs.begin(), p.outputs.end(), name) != p.outputs.end()) {
        tarqLog::e("The " + quoted(name) + " in inputs=" + list_text(p.inputs) +
                   " is invalid! it is also exist in outputs=" + list_text(p.outputs) + "!");
      }
      auto old = old_inputs.find(name);
      if (old == old_inputs.end()) clean_node = true;
      int32_t elem_type = kFloat;
      if (old != old_inputs.end()) {
        elem_type = old->second;
      } else if (auto vt = value_types.find(name); vt != value_types.end()) {
        elem_type = vt->second;
      }
      *g->add_input() = helpers::make_tensor_value_info(name, elem_type, p.shapes[i]);
      move_last_to(g->mutable_input(), static_cast<int>(i));

      if (p.values.empty() || !p.values[i]) continue;
      const NdArray& value = *p.values[i];
      if (to_tensor_type(value.elem_type()) != elem_type) {
        tarqLog::e("The dtype = '" + array_type_name(value.elem_type()) +
                   "' in input_initial_val[" + std::to_string(i) + "] is invalid, expect '" +
                   array_type_name(to_np_type(elem_type)) + "'!");
      }
      *g->add_initializer() = helpers::make_tensor(name, elem_type, value.shape(), value);
    }
  }

  if (!p.outputs.empty()) {
    // The old outputs leave the list; one the new list names again goes
    // back in as the same message, the others are parked.
    auto* list = g->mutable_output();
    std::vector<onnx::ValueInfoProto*> old = take_all(list);
    if (p.outputs.size() != old.size()) clean_node = true;
    for (const auto& name : p.outputs) {
      if (!known.count(name)) {
        tarqLog::e("The " + quoted(name) + " in outputs=" + list_text(p.outputs) + " is invalid!");
      }
      auto it = std::find_if(old.begin(), old.end(), [&](const onnx::ValueInfoProto* vi) {
        return vi && vi->name() == name;
      });
      auto reused = std::find_if(list->begin(), list->end(),
                                 [&](const onnx::ValueInfoProto& vi) { return vi.name() == name; });
      if (it != old.end()) {
        put_back(list, *it);
        *it = nullptr;
      } else if (reused != list->end()) {
        // Named twice: a second copy of the same entry.
        *list->Add() = onnx::ValueInfoProto(*reused);
      } else {
        *list->Add() =
            helpers::make_tensor_value_info(name, onnx::TensorProto::UNDEFINED, std::nullopt);
        clean_node = true;
      }
    }
    for (auto* vi : old) {
      if (vi) park_taken(list, vi, owner);
    }
  }
}

}  // namespace tarq
