// Whole models in and out of the graph: assembling a model around a graph,
// saving the graph's model with its cached weights put back, and copying the
// graph with its settings.
//
// Saving never changes the graph's model: the cached arrays are written as
// the data of their placeholders on the way to the file (save_model), so
// neither the model nor the weights are copied for it. The cache may be the
// host's own object whose methods run host code: it is read first, names
// copied, before anything of the model is held.
#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <filesystem>

#include "model_header.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/settings.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/nesting.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

constexpr int64_t kAssembledIrVersion = 8;
constexpr const char* kAssembledProducer = "zq";

// The host container's deep copy, of the container's own kind.
template <class C>
std::shared_ptr<C> deep_copy_of(const std::shared_ptr<C>& c) {
  if (!c) return nullptr;
  auto copy = std::dynamic_pointer_cast<C>(c->deep_copy());
  if (!copy) throw ValueError("a host container's deep copy is not of its own kind");
  return copy;
}

}  // namespace

OwnerPtr IRGraph::make_model(onnx::GraphProto graph, int64_t opset, bool check) {
  return make_model(std::move(graph), {{"", opset}}, check);
}

void set_assembled_header(onnx::ModelProto& model, const OpsetImports& imports) {
  model.set_ir_version(kAssembledIrVersion);
  model.set_producer_name(kAssembledProducer);
  for (const auto& [domain, version] : imports) {
    auto* import = model.add_opset_import();
    if (!domain.empty()) import->set_domain(domain);  // the default domain: left unset
    import->set_version(version);
  }
}

OwnerPtr IRGraph::make_model(onnx::GraphProto graph, const OpsetImports& imports, bool check) {
  auto model = std::make_unique<onnx::ModelProto>();
  set_assembled_header(*model, imports);
  *model->mutable_graph() = std::move(graph);
  return infer_shapes(std::make_shared<MessageOwner>(std::move(model)), check);
}

void IRGraph::save_onnx(const std::string& path, bool save_large, const std::string& external_data,
                        const std::function<void(uint64_t, uint64_t)>& progress) const {
  ModelFileOptions options;
  options.external_data = external_data;
  options.progress = progress;
  if (ori_model_path) options.base_dir = std::filesystem::path(*ori_model_path).parent_path();
  // Held here: the cache's code may replace the field or the model.
  const std::shared_ptr<ArrayMap> cache = initializer_dat;
  const OwnerPtr keep = model_owner_;
  tsl::ordered_map<std::string, NdArray> weights;
  if (cache) {
    if (save_large || n_bytes < max_onnx_weight()) {
      // The placeholders' names, copied: reading the cache may run host code.
      std::vector<std::string> names;
      for (const auto& init : model_->graph().initializer()) names.push_back(init.name());
      for (const auto& name : names) {
        if (!weights.count(name) && cache->contains(name)) weights.emplace(name, cache->get(name));
      }
      options.weights = &weights;
    } else {
      const auto mib = static_cast<int64_t>(static_cast<double>(n_bytes) / 1024 / 1024);
      tarqLog::w(fmt::format(
          "The weight ({} MiB) of the model is too large, only the basic graph is saved to '{}'!",
          mib, path));
    }
    if (model_owner_ != keep) {
      throw ValueError("the graph's model was replaced while the weights were gathered for saving");
    }
  }
  save_model(*model_, path, options);
}

std::shared_ptr<IRGraph> IRGraph::deepcopy(bool share_initializer_dat, const EditPar* edit_par,
                                           bool keep_dynamic) const {
  check_nesting(*model_, "the model");  // copying recurses
  auto model = std::make_shared<MessageOwner>(std::make_unique<onnx::ModelProto>(*model_));
  IRGraphOptions o;
  o.opt_level = opt_level;
  o.check = check;
  o.verbose = verbose;
  o.qat = qat;
  o.npu_target = npu_target;
  if (keep_dynamic) o.dynamic_shapes = deep_copy_of(dynamic_shapes);
  if (initializer_dat && share_initializer_dat) {
    o.initializer_dat = initializer_dat->copy_sharing_arrays();
  }
  o.edit_par = edit_par;
  o.ori_model_path = ori_model_path;
  o.op_target = deep_copy_of(op_target);
  o.share_weights = deep_copy_of(share_weights);
  if (keep_dynamic) o.dynamic_diff = deep_copy_of(dynamic_diff);
  o.weights_for_align = deep_copy_of(weights_for_align);
  o.host_factory = host_factory_;
  auto copy = std::make_shared<IRGraph>(std::move(model), o);
  copy->expand_batch_size = expand_batch_size;
  return copy;
}

}  // namespace tarq
