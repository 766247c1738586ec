#include "layer_export.h"

#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <unordered_set>

namespace tarq::cli {

LayerRecord LayerExport::record(size_t k) const {
  const auto& g = layers.layers.at(k)->root_as<onnx::ModelProto>().graph();
  LayerRecord r;
  for (const auto& n : g.node()) r.nodes.push_back({n.name(), n.op_type()});
  std::unordered_set<std::string> constants;
  for (const auto& t : g.initializer()) {
    constants.insert(t.name());
    r.constants.push_back(t.name());
  }
  for (const auto& in : g.input()) {
    if (!constants.count(in.name())) r.inputs.push_back(in.name());
  }
  for (const auto& out : g.output()) r.outputs.push_back(out.name());
  for (auto name : layers.can_free(k)) r.frees.emplace_back(name);
  return r;
}

LayerExport export_layers(const CommonOptions& options, const LayerOptions& layer_options,
                          bool weights_inline) {
  if (std::find(npu_targets.begin(), npu_targets.end(), layer_options.target) ==
      npu_targets.end()) {
    throw ValueError(fmt::format("unknown NPU target '{}'; the targets are {}",
                                 layer_options.target, fmt::join(npu_targets, ", ")));
  }
  // External data is read here, so that weights that cannot be read fail
  // the command instead of being replaced by random values.
  OwnerPtr owner = load_model(options.model, /*load_external_data=*/true);
  IRGraphOptions o;
  o.npu_target = layer_options.target;
  o.ori_model_path = options.model;
  if (!weights_inline) o.initializer_dat = std::make_shared<NativeArrayMap>();
  LayerExport e;
  e.graph = std::make_unique<IRGraph>(owner, o);
  e.layers = e.graph->create_ir_layers(layer_options.fuse, nullptr, /*log=*/true);
  return e;
}

}  // namespace tarq::cli
