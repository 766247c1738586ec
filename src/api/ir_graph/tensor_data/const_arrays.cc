// Constant arrays: the value of an initializer as an NdArray, from the
// weight cache when it holds the name, else from the tensor itself; writes
// that keep the model, the cache and the tables coherent.
//
// The weight cache and the per-configuration tables may be the host's and run
// host code: names are copied before such calls, and initializers are looked
// up by position again after them.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string>
#include <utility>

#include "../companions/onnx_helpers/tensor_layout.h"
#include "../graph_core/declared_size.h"
#include "../graph_core/host_calls.h"
#include "../graph_core/parking.h"
#include "../graph_core/table_positions.h"
#include "../graph_core/verify_wanted.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

NdArray tensor_array(const onnx::TensorProto& c) {
  if (c.dims_size() == 0 && c.has_raw_data()) {
    // A scalar kept as raw bytes: read one element of its type.
    int32_t type = to_np_type(c.data_type());
    size_t size = elem_size(type);
    if (size == 0 || c.raw_data().size() < size) {
      throw ValueError("scalar constant '" + c.name() + "' holds " +
                       std::to_string(c.raw_data().size()) + " bytes of raw data, not one " +
                       elem_type_name(type));
    }
    return NdArray::from_bytes(type, {}, c.raw_data().substr(0, size));
  }
  // The conversion makes a new array, which serves as the copy as well.
  return helpers::to_array(c);
}

namespace {

// The cached value of `name`, if the cache holds it: by reference the cached
// array itself, read-only for the caller; else a writable copy. The cache may
// run host code: the caller holds it and passes the name as a copy.
std::optional<NdArray> cached_read(std::shared_ptr<ArrayMap> cache, const std::string& name,
                                   bool ref) {
  if (!cache || !cache->contains(name)) return std::nullopt;
  NdArray cached = cache->get(name);
  if (!ref) return cached.copy();
  cached.set_readonly(true);
  return cached;
}

// More than this many bytes of data go to the weight cache when there is one.
constexpr size_t kCacheThreshold = 1 << 20;

Extents dims_of(const onnx::TensorProto& c) { return Extents(c.dims().begin(), c.dims().end()); }

NdArray read_only(NdArray a) {
  a.set_readonly(true);
  return a;
}

// A large constant's raw bytes, viewed in place as a read-only array when
// they are the array's layout. The bytes are pinned: a writer of the tensor
// leaves them to the array (MessageOwner::release_viewed_bytes).
std::optional<NdArray> bytes_view(const onnx::TensorProto& t, const OwnerPtr& owner) {
  const int32_t type = t.data_type();
  const std::string& raw = t.raw_data();
  if (raw.size() <= kCacheThreshold || t.dims_size() == 0 || !is_known_elem_type(type) ||
      type == kString || helpers::layout::is_packed(type)) {
    return std::nullopt;
  }
  Extents dims = dims_of(t);
  if (std::any_of(dims.begin(), dims.end(), [](int64_t d) { return d < 0; })) return std::nullopt;
  if (raw.size() != static_cast<size_t>(element_count(dims)) * elem_size(type)) {
    return std::nullopt;
  }
  return NdArray::from_external(type, std::move(dims), owner->pin(raw.data()), raw.data(), true);
}

onnx::TensorProto* initializer_at(onnx::ModelProto& model, int64_t pos, const std::string& name) {
  return &entry_at(model.mutable_graph()->mutable_initializer(), pos, "consts", name);
}

}  // namespace

std::optional<NdArray> IRGraph::get_array(const onnx::TensorProto* c, bool ref) const {
  if (!c) return std::nullopt;
  const std::string name = c->name();  // a copy: the cache may run host code
  if (auto cached = cached_read(initializer_dat, name, ref)) return cached;
  return tensor_array(*c);
}

IRGraph::ConstRead IRGraph::get_const(const std::string& name, bool to_array, bool ref,
                                      bool from_set) {
  if (dynamic_idx) {
    // A value of the selected configuration, as it is.
    if (from_set) {
      if (const auto set = dynamic_diff_set) {
        if (auto a = set->at(name, *dynamic_idx)) return std::move(*a);
      }
    }
    if (const auto diff = dynamic_diff; diff && diff->contains(name)) {
      if (auto a = diff->at(name, *dynamic_idx)) return std::move(*a);
    }
  }
  auto c = consts_->find(name);
  if (c == consts_->end()) return {};
  onnx::TensorProto* tensor = initializer_at(*model_, c->second, name);
  if (!to_array) return tensor;
  // The cache may run host code: the model stays alive meanwhile.
  const OwnerPtr kept = model_owner_;
  if (auto cached = cached_read(initializer_dat, name, ref)) return std::move(*cached);
  // A large constant the cache does not hold: by reference its own bytes.
  if (ref) {
    if (auto view = bytes_view(*tensor, kept)) return std::move(*view);
  }
  return tensor_array(*tensor);
}

bool IRGraph::set_array(onnx::TensorProto& c, const NdArray& arr, bool ref, MessageOwner* owner) {
  if (arr.shape() != dims_of(c) || arr.elem_type() != to_np_type(c.data_type())) return false;
  const std::string name = c.name();
  if (const auto cache = initializer_dat; cache && cache->contains(name)) {
    cache->set(name, read_only(ref ? arr : arr.copy()));
    return true;
  }
  // The storage field the tensor uses keeps the data; the typed fields take
  // the values as make_tensor encodes them for the element type.
  if (c.float_data_size() || c.double_data_size() || c.int32_data_size() || c.int64_data_size()) {
    onnx::TensorProto typed = helpers::make_tensor(name, c.data_type(), dims_of(c), arr);
    c.mutable_float_data()->Swap(typed.mutable_float_data());
    c.mutable_double_data()->Swap(typed.mutable_double_data());
    c.mutable_int32_data()->Swap(typed.mutable_int32_data());
    c.mutable_int64_data()->Swap(typed.mutable_int64_data());
  } else if (!c.raw_data().empty()) {
    release_viewed_bytes(owner ? owner : model_owner_.get(), &c);
    c.set_raw_data(std::move(*helpers::from_array(arr, name).mutable_raw_data()));
  } else {
    TarqLog::e("Unsupport const data type!");
  }
  return true;
}

void IRGraph::set_const(const std::string& name, const NdArray& arr, bool ref,
                        onnx::ModelProto* model, MessageOwner* model_owner) {
  // The graph's own model, passed explicitly, is written as the graph's.
  const bool is_self = model == nullptr || model == model_;
  // Host code runs below (the weight cache); the model stays alive meanwhile.
  const OwnerPtr kept = model_owner_;
  if (is_self) {
    model = model_;
    model_owner = kept.get();
  }
  if (is_self && dynamic_idx) {
    if (!dynamic_diff_set) dynamic_diff_set = host_factory_->new_array_configs();
    const auto set = dynamic_diff_set;
    set->put(name, *dynamic_idx, arr, n_dynamic);
    return;
  }
  auto c = consts_->find(name);
  std::optional<int64_t> pos;
  if (c != consts_->end()) pos = c->second;
  if (is_self && !pos) {
    // A name that a node produces or a graph input provides cannot also be a
    // constant: the model would define it twice.
    if (auto op = operand(name); op && op->input) {
      throw ValueError("set_const: '" + name + "' is the output of node '" + op->input->name() +
                       "', not a constant");
    }
    if (std::find(inputs_->begin(), inputs_->end(), name) != inputs_->end()) {
      throw ValueError("set_const: '" + name + "' is a graph input, not a constant");
    }
  }
  if (pos && set_array(*initializer_at(*model, *pos, name), arr, ref, model_owner)) {
    if (is_self) verify_if_wanted(*this);
    return;
  }
  if (is_self) still_same_model(*this, kept, "set_const");
  // A new tensor and graph-input entry. An existing constant keeps its
  // positions, so its graph-input entry must be known before anything
  // changes.
  std::optional<int64_t> input_pos;
  if (pos) {
    auto in = inputs_with_const_->find(name);
    if (in == inputs_with_const_->end()) {
      throw KeyError("constant '" + name +
                     "' has no graph input entry to replace (set_const keeps positions)");
    }
    input_pos = in->second;
    entry_at(model->graph().input(), *input_pos, "inputs_with_const", name);
  }
  const int32_t type = to_tensor_type(arr.elem_type());
  onnx::TensorProto fresh;
  const auto cache = initializer_dat;
  const bool use_cache = cache && (cache->contains(name) || arr.nbytes() > kCacheThreshold);
  if (use_cache) {
    // A placeholder: name, element type and dims; the value lives in the
    // cache, stored first, so that a cache that refuses leaves the model as
    // it was.
    fresh.set_name(name);
    fresh.set_data_type(type);
    for (int64_t d : arr.shape()) fresh.add_dims(d);
    cache->set(name, read_only(ref ? arr : arr.copy()));
  } else {
    fresh = helpers::make_tensor(name, type, arr.shape(), arr);
  }
  onnx::ValueInfoProto info =
      helpers::make_tensor_value_info(name, type, Shape(arr.shape().begin(), arr.shape().end()));
  // The cache ran host code: check the model and its positions again.
  if (is_self) still_same_model(*this, kept, "set_const");
  auto* graph = model->mutable_graph();
  if (pos) {
    const auto& old = *initializer_at(*model, *pos, name);
    entry_at(model->graph().input(), *input_pos, "inputs_with_const", name);
    if (is_self) n_bytes = wrapping_add(n_bytes, -declared_bytes(old));
    replace_parked(graph->mutable_initializer(), static_cast<int>(*pos), std::move(fresh),
                   model_owner);
    replace_parked(graph->mutable_input(), static_cast<int>(*input_pos), std::move(info),
                   model_owner);
    if (is_self) n_bytes = wrapping_add(n_bytes, declared_bytes(graph->initializer(*pos)));
  } else {
    *graph->add_initializer() = std::move(fresh);
    *graph->add_input() = std::move(info);
    if (is_self) {
      n_bytes =
          wrapping_add(n_bytes, declared_bytes(graph->initializer(graph->initializer_size() - 1)));
      // The positions of the appended entries, given the index invariants.
      const auto inputs_before = static_cast<int64_t>(inputs_with_const_->size());
      const auto consts_before = static_cast<int64_t>(consts_->size());
      (*inputs_with_const_)[name] = inputs_before;
      (*consts_)[name] = consts_before;
      // Nodes that read the name now read a constant, whose operand carries
      // no value information.
      if (auto op = operand(name)) {
        op->shape.clear();
        op->dtype = kUndefined;
      }
      // A new constant is a new key of the dependency maps.
      create_tensor_dependency_map();
    }
  }
  if (is_self) verify_if_wanted(*this);
}

}  // namespace tarq
