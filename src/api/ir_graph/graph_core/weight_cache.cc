// The weight cache, external data and the model check of the rebuild.
//
// Requires: consts current; runs only when the graph has a weight cache.
// Guarantees: Constant nodes holding external data become initializers
// (declared as graph inputs); every weight of a convolution or matrix
// multiplication, and every initializer of more than 2^18 elements, lives in
// the cache as a read-only array, leaving a placeholder (name, dims,
// data_type) in the model; external data is loaded from the model's
// directory, or replaced by random values with a warning when it cannot be;
// while the cache is still empty the model is checked first. A failing
// check or load is reported and the work goes on; any other failure ends the
// rebuild.
//
// The cache may be the host's own object, whose methods run host code that
// can edit or replace the model. So the model is walked in phases, and a
// call into the cache holds no pointer, iterator or string view into the
// model: names go in as copies, and an initializer is found again by
// position, and its name checked, after every call. A weight is taken out of
// the model only when the cache is about to receive it; should the cache
// refuse it (its __setitem__ raises), the data goes back into the tensor
// before the error propagates, so a failed rebuild loses no weight.
#include <onnx/checker.h>
#include <onnx/onnx_pb.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <random>
#include <string_view>
#include <unordered_set>

#include "../companions/onnx_helpers/tensor_layout.h"
#include "declared_size.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/companions/progress.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/name_hash.h"
#include "tarq/api/ir_graph/nesting.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

constexpr int64_t kMaximumProtobuf = 2000000000;  // bytes; not 2^31
constexpr int64_t kLargeWeight = 262144;          // elements: 2^18

bool is_weight_op(std::string_view op) {
  return op == "Conv" || op == "MatMul" || op == "exMatMul" || op == "Gemm";
}

// The directory part of a path, as the host's path functions give it.
std::string dirname(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  std::string head = path.substr(0, slash + 1);
  if (head.find_first_not_of('/') != std::string::npos) head.pop_back();
  return head;
}

std::string current_dir() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof(buf)) ? std::string(buf) : std::string();
}

// Values in [-1, 1) of the tensor's type and dims, as raw data. The dims come
// from the model unchecked: replacement data is made only up to the size a
// model can hold inline (2 GB of doubles while it is made), beyond which the
// rebuild fails with ValueError naming the tensor. The external-data entries
// are parked with the model's owner (views may refer to them).
void fill_random(onnx::TensorProto& t, MessageOwner& owner) {
  static std::mt19937_64 rng{std::random_device{}()};
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  Extents dims(t.dims().begin(), t.dims().end());
  int64_t count = element_count(dims);  // ValueError for negative or overflowing dims
  if (count > kMaximumProtobuf / static_cast<int64_t>(sizeof(double))) {
    throw ValueError("cannot make replacement data for '" + t.name() + "': its dims declare " +
                     std::to_string(count) + " elements; provide its external data file");
  }
  NdArray values(kDouble, dims);
  auto* v = values.mutable_data_as<double>();
  for (int64_t i = 0; i < values.size(); ++i) v[i] = uniform(rng) * 2 - 1;
  onnx::TensorProto random =
      helpers::from_array(values.astype(to_np_type(t.data_type())), t.name());
  owner.release_viewed_bytes(&t);
  t.set_raw_data(random.raw_data());
  auto* entries = t.mutable_external_data();
  while (!entries->empty()) {
    owner.park(std::unique_ptr<google::protobuf::Message>(entries->ReleaseLast()));
  }
  t.clear_data_location();
}

// The tensor's values as a read-only array. Where the raw bytes are the
// array's layout they are taken without a copy (`*taken` set: the tensor
// has no raw data any more); otherwise the tensor is converted and keeps
// its data for now.
NdArray weight_array(onnx::TensorProto& t, MessageOwner& owner, bool* taken) {
  int32_t type = t.data_type();
  Extents dims(t.dims().begin(), t.dims().end());
  std::optional<NdArray> array;
  bool byte_layout =
      is_known_elem_type(type) && type != kString && !helpers::layout::is_packed(type);
  *taken = false;
  // Bytes an array views are copied for the tensor first: the view keeps them.
  owner.release_viewed_bytes(&t);
  if (byte_layout && t.dims_size() > 0 && t.has_raw_data() &&
      t.raw_data().size() == static_cast<size_t>(element_count(dims)) * elem_size(type)) {
    array = NdArray::from_bytes(type, dims, std::move(*t.mutable_raw_data()));
    t.clear_raw_data();
    *taken = true;
  } else {
    array = tensor_array(t);
  }
  array->set_readonly(true);
  return *array;
}

// Clears the data fields of a tensor whose values the cache now holds.
void clear_data(onnx::TensorProto& t, MessageOwner& owner) {
  owner.release_viewed_bytes(&t);
  if (t.float_data_size()) t.clear_float_data();
  if (t.int32_data_size()) t.clear_int32_data();
  if (t.int64_data_size()) t.clear_int64_data();
  if (t.has_raw_data()) t.clear_raw_data();
}

}  // namespace

void IRGraph::load_weights(bool edit_par_given) {
  // Held here: a callback may replace the fields or the model.
  const std::shared_ptr<ArrayMap> cache_holder = initializer_dat;
  ArrayMap& cache = *cache_holder;
  const OwnerPtr keep = model_owner_;
  auto* graph = model_->mutable_graph();

  // Phase 1, the model only. Weights of the heavy operators, then
  // initializers of more than 2^18 elements, are candidates for the cache;
  // Constant nodes holding external data become initializers.
  std::vector<std::string> candidates;
  std::unordered_set<std::string, NameHash, std::equal_to<>> candidate_set;
  auto propose = [&](const std::string& name) {
    if (candidate_set.insert(name).second) candidates.push_back(name);
  };
  std::vector<int> constant_nodes;
  for (int p = 0; p < graph->node_size(); ++p) {
    const auto& node = graph->node(p);
    if (is_weight_op(node.op_type())) {
      for (const auto& in : node.input()) {
        if (consts_->count(in)) propose(in);
      }
    } else if (node.op_type() == "Constant" && node.attribute_size() > 0 &&
               node.attribute(0).type() == onnx::AttributeProto::TENSOR &&
               helpers::uses_external_data(node.attribute(0).t()) && node.output_size() > 0) {
      onnx::TensorProto tensor = node.attribute(0).t();
      tensor.set_name(node.output(0));
      Extents dims(tensor.dims().begin(), tensor.dims().end());
      Shape shape(dims.begin(), dims.end());
      *graph->add_input() =
          helpers::make_tensor_value_info(tensor.name(), tensor.data_type(), shape);
      int64_t pos = static_cast<int64_t>(consts_->size());
      *graph->add_initializer() = std::move(tensor);
      (*consts_)[node.output(0)] = pos;
      constant_nodes.push_back(p);
    }
  }
  // Remove those nodes in one pass, parking them: views and records may
  // point at them. The others keep their order.
  if (!constant_nodes.empty()) {
    auto* nodes = graph->mutable_node();
    std::unordered_set<const onnx::NodeProto*> gone;
    for (int p : constant_nodes) gone.insert(&nodes->Get(p));
    std::stable_partition(nodes->pointer_begin(), nodes->pointer_end(),
                          [&](const onnx::NodeProto* n) { return !gone.count(n); });
    for (size_t i = 0; i < constant_nodes.size(); ++i) {
      model_owner_->park(std::unique_ptr<onnx::NodeProto>(nodes->ReleaseLast()));
    }
  }
  bool has_external = false;
  for (const auto& init : graph->initializer()) {
    if (!has_external) has_external = helpers::uses_external_data(init);
    if (declared_count(init.dims()) > kLargeWeight) propose(init.name());
  }
  const bool run_check = !has_extend_op && !edit_par_given;
  bool check = run_check && !(has_external && ori_model_path && !ori_model_path->empty() &&
                              current_dir() != dirname(*ori_model_path));
  if (check) {
    for (const auto& out : graph->output()) {
      if (!out.type().tensor_type().has_shape()) {
        check = false;
        break;
      }
    }
  }

  // Phase 2, the cache: which candidates it lacks, and whether it is empty.
  std::unordered_set<std::string, NameHash, std::equal_to<>> moving;
  for (const auto& name : candidates) {
    if (!cache.contains(name)) moving.insert(name);
  }
  const bool cache_was_empty = cache.empty();
  if (model_owner_ != keep) {
    throw ValueError("the graph's model was replaced while the weight cache was consulted");
  }
  check_nesting(*model_, "the model");  // the cache's code may have nested it; the check recurses
  graph = model_->mutable_graph();

  // Phase 3, the model check while the cache is still empty.
  if (cache_was_empty && run_check) {
    if (!has_external && static_cast<int64_t>(model_->ByteSizeLong()) > kMaximumProtobuf) {
      tarqLog::w("This protobuf of onnx model is too large (>2GB). Do not Call check_model!");
      check = false;
    }
    if (check) {
      try {
        onnx::checker::check_model(*model_);
      } catch (const std::exception& e) {
        tarqLog::w(std::string("onnx.checker.check_model fail: ") + e.what());
      }
    }
  }

  // Phase 4, loading and moving, one initializer at a time.
  if (moving.empty() && !has_external) return;
  std::optional<Progress> bar;
  if (cache_was_empty)
    bar.emplace("I Loading ", static_cast<size_t>(graph->initializer_size()), 100);
  const std::string base_dir = ori_model_path ? dirname(*ori_model_path) : std::string();
  for (int i = 0;; ++i) {
    if (model_owner_ != keep) {
      throw ValueError("the graph's model was replaced while weights moved into the cache");
    }
    graph = model_->mutable_graph();
    if (i >= graph->initializer_size()) break;
    onnx::TensorProto* init = graph->mutable_initializer(i);
    if (helpers::uses_external_data(*init)) {
      try {
        if (!ori_model_path) throw std::runtime_error("no model path");
        helpers::load_external_data_for_tensor(*init, base_dir, model_owner_.get());
      } catch (const std::exception&) {
        tarqLog::w("Load external data for '" + init->name() +
                   "' failed! Generate random data for test!");
        fill_random(*init, *model_owner_);
      }
    }
    if (moving.count(init->name())) {
      const std::string name = init->name();
      if (!cache.contains(name)) {
        // Find the tensor again: the call may have changed the model.
        graph = model_->mutable_graph();
        if (model_owner_ != keep || i >= graph->initializer_size() ||
            graph->initializer(i).name() != name) {
          throw ValueError("the model's initializers changed while '" + name +
                           "' was to move into the weight cache");
        }
        init = graph->mutable_initializer(i);
        bool taken = false;
        NdArray array = weight_array(*init, *model_owner_, &taken);
        try {
          cache.set(name, array);
        } catch (...) {
          // `init` is still valid memory: the model is kept alive here, and a
          // tensor removed meanwhile is parked, not freed.
          if (taken) {
            init->set_raw_data(static_cast<const char*>(array.data()), array.nbytes());
          }
          throw;
        }
        graph = model_->mutable_graph();
        if (model_owner_ == keep && i < graph->initializer_size() &&
            graph->initializer(i).name() == name) {
          clear_data(*graph->mutable_initializer(i), *model_owner_);
        }
      }
    }
    if (bar) bar->advance();
  }
}

}  // namespace tarq
