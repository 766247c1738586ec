// Shapes and element types: read from the most specific source (the selected
// shape configuration, the operand, the initializer) and written into every
// place that holds them.
//
// The per-configuration tables and the weight cache may be the host's, so
// they can run host code: names are copied, and the model is looked up again
// after each such call rather than through a pointer kept across it.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "../graph_core/declared_size.h"
#include "../graph_core/table_positions.h"
#include "../graph_core/verify_wanted.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

Shape shape_of(const Extents& extents) { return Shape(extents.begin(), extents.end()); }

// The size of a shape: the product of its dimensions, -1 as soon as one is
// not a fixed integer.
int64_t size_of(const Shape& shape) {
  int64_t size = 1;
  for (const auto& d : shape) {
    const auto* v = std::get_if<int64_t>(&d);
    if (!v) return -1;
    size = wrapping_mul(size, *v);
  }
  return size;
}

Extents extents_of(const std::string& name, const Shape& shape) {
  Extents out;
  for (const auto& d : shape) {
    const auto* v = std::get_if<int64_t>(&d);
    if (!v) {
      throw ValueError("'" + name + "': " + shape_text(shape) +
                       " has a dimension that is not an integer");
    }
    out.push_back(*v);
  }
  return out;
}

int find_by_name(const google::protobuf::RepeatedPtrField<onnx::ValueInfoProto>& list,
                 const std::string& name) {
  for (int i = 0; i < list.size(); ++i) {
    if (list.Get(i).name() == name) return i;
  }
  return -1;
}

}  // namespace

std::optional<Shape> IRGraph::get_shape(const std::string& name, bool from_set) const {
  if (dynamic_idx) {
    const int64_t idx = *dynamic_idx;
    if (from_set) {
      if (const auto shapes = dynamic_shapes_set) {
        if (auto s = shapes->at(name, idx)) return s;
      }
      if (const auto diff = dynamic_diff_set) {
        if (auto a = diff->at(name, idx)) return shape_of(a->shape());
      }
    }
    // Tables the host did not give count as empty.
    if (const auto shapes = dynamic_shapes; shapes && shapes->contains(name)) {
      auto all = shapes->get(name);
      if (idx < 0 || static_cast<size_t>(idx) >= all.size()) {
        throw IndexError("dynamic_shapes['" + name + "'] has no configuration " +
                         std::to_string(idx));
      }
      return all[static_cast<size_t>(idx)];
    }
    if (const auto diff = dynamic_diff; diff && diff->contains(name)) {
      if (auto a = diff->at(name, idx)) return shape_of(a->shape());
    }
  }
  if (auto op = operand(name)) return op->shape;
  auto c = consts_->find(name);
  if (c != consts_->end()) {
    const auto& dims = entry_at(model_->graph().initializer(), c->second, "consts", name).dims();
    return Shape(dims.begin(), dims.end());
  }
  return std::nullopt;
}

std::optional<int64_t> IRGraph::get_size(const std::string& name) const {
  const auto shape = get_shape(name);
  if (!shape) return std::nullopt;
  const int64_t size = size_of(*shape);
  if (size < 0) return std::nullopt;
  return size;
}

int32_t IRGraph::get_dtype(const std::string& name) const {
  if (auto op = operand(name)) return op->dtype;
  auto c = consts_->find(name);
  if (c != consts_->end()) {
    return to_np_type(
        entry_at(model_->graph().initializer(), c->second, "consts", name).data_type());
  }
  return kUndefined;
}

bool IRGraph::set_shape(const std::string& name, const Shape& shape_in, bool check_size,
                        bool update_operands, int32_t dtype) {
  Shape shape = shape_in;
  if (dynamic_idx) {
    // A configuration is selected: only its tables change.
    const int64_t idx = *dynamic_idx;
    // Tables the host set to None start empty again.
    if (!dynamic_diff_set) dynamic_diff_set = host_factory_->new_array_configs();
    if (!dynamic_shapes_set) dynamic_shapes_set = host_factory_->new_shape_configs();
    if (!dynamic_dtypes_set) dynamic_dtypes_set = host_factory_->new_dtype_configs();
    const auto diff = dynamic_diff_set;
    if (consts_->count(name) && !diff->contains(name)) diff->put(name, idx, {}, n_dynamic);
    if (diff->contains(name)) {
      std::optional<NdArray> val = diff->at(name, idx);
      if (!val) {
        auto read = get_const(name);
        if (auto* a = std::get_if<NdArray>(&read)) val = *a;
      }
      if (!val) throw KeyError("'" + name + "' has no value to reshape");
      diff->put(name, idx, val->reshape(extents_of(name, shape)), n_dynamic);
      return true;
    }
    const auto shapes = dynamic_shapes_set;
    const auto dtypes = dynamic_dtypes_set;
    shapes->put(name, idx, shape, n_dynamic);
    dtypes->put(name, idx, dtype == kUndefined ? std::nullopt : std::optional<int32_t>(dtype),
                n_dynamic);
    return true;
  }

  // Reports wait until the writes are done: a log handler may edit or
  // replace the model, which is held meanwhile.
  TarqLog::Hold hold_reports;
  const OwnerPtr kept = model_owner_;
  // Where the tensor is described: its initializer and graph input, a graph
  // output or input, or a value-information entry.
  onnx::GraphProto& graph = *model_->mutable_graph();
  onnx::TensorProto* constant = nullptr;
  onnx::ValueInfoProto* info = nullptr;
  std::optional<Shape> ori_shape;
  if (auto c = consts_->find(name); c != consts_->end()) {
    constant = &entry_at(graph.mutable_initializer(), c->second, "consts", name);
    auto in = inputs_with_const_->find(name);
    if (in == inputs_with_const_->end()) {
      throw KeyError("constant '" + name + "' has no graph input entry to write the shape into");
    }
    info = &entry_at(graph.mutable_input(), in->second, "inputs_with_const", name);
    ori_shape = Shape(constant->dims().begin(), constant->dims().end());
  } else if (auto out = std::find(outputs_->begin(), outputs_->end(), name);
             out != outputs_->end()) {
    info = &entry_at(graph.mutable_output(), out - outputs_->begin(), "outputs", name);
    ori_shape = get_shape(name);
  } else if (std::find(inputs_->begin(), inputs_->end(), name) != inputs_->end()) {
    const int at = find_by_name(graph.input(), name);
    if (at >= 0) info = graph.mutable_input(at);
    ori_shape = get_shape(name);
  } else if (operands_->count(name)) {
    const int at = find_by_name(graph.value_info(), name);
    if (at >= 0) {
      info = graph.mutable_value_info(at);
      ori_shape = get_shape(name);
    }
  } else {
    // A new value-information entry, and the operand it implies.
    const int32_t type = dtype == kUndefined ? kUndefined : to_tensor_type(dtype);
    *graph.add_value_info() = helpers::make_tensor_value_info(name, type, shape);
    OperandPtr op = ensure_operand(name);
    op->declared = true;
    op->shape = shape;
    op->dtype = type;
    verify_if_wanted(*this);
    return true;
  }
  if (!ori_shape) {
    throw ValueError("set_shape: '" + name +
                     "' has no value information, so its current size is unknown");
  }
  const int64_t ori_size = size_of(*ori_shape);

  // The last -1 takes what the other dimensions leave (computed in floating
  // point and truncated, as the size may be -1 for a symbolic shape); other
  // -1 entries stay.
  const Dim minus_one = int64_t{-1};
  auto last = std::find(shape.rbegin(), shape.rend(), minus_one);
  if (last != shape.rend()) {
    int64_t known = 1;
    for (auto it = shape.begin(); it != shape.end(); ++it) {
      if (*it == minus_one) continue;
      const auto* v = std::get_if<int64_t>(&*it);
      if (!v) {
        throw ValueError("set_shape: cannot infer the -1 of " + shape_text(shape_in) + " for '" +
                         name + "' beside a dimension that is not an integer");
      }
      known = wrapping_mul(known, *v);
    }
    if (known == 0) {
      throw ValueError("set_shape: cannot infer the -1 of " + shape_text(shape_in) + " for '" +
                       name + "': the other dimensions multiply to 0");
    }
    *last = static_cast<int64_t>(
        std::trunc(static_cast<double>(ori_size) / static_cast<double>(known)));
  }
  if (shape == *ori_shape) return true;
  if (check_size && size_of(shape) != ori_size) {
    TarqLog::e(name + ": set shape = " + shape_text(shape) +
               " fail, ori_shape = " + shape_text(*ori_shape));
  }
  if (constant) {
    const Extents dims = extents_of(name, shape);
    n_bytes = wrapping_add(n_bytes, -declared_bytes(*constant));
    constant->clear_dims();
    for (int64_t d : dims) constant->add_dims(d);
    n_bytes = wrapping_add(n_bytes, declared_bytes(*constant));
  }
  if (info) inf_shape_set(*info, shape, kept.get());
  // Host code from here on: nothing of the model is used after it.
  if (const auto cache = initializer_dat; cache && cache->contains(name)) {
    cache->reshape(name, extents_of(name, shape));
  }
  if (update_operands) {
    if (auto op = operand(name)) op->shape = shape;
    verify_if_wanted(*this);
  }
  return true;
}

}  // namespace tarq
