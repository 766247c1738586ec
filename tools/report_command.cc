// tarq-ir report MODEL -o report.html [--fuse] [--target T]: one HTML page
// with the model summary, the operator mix, the multiply-accumulates of each
// layer and the activation memory held over the layers.
//
// The layers are cut with a weight cache: their constants are placeholders,
// which is all a description needs, so the weights are never copied.
#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <unordered_map>
#include <unordered_set>

#include "commands.h"
#include "layer_export.h"
#include "model_figures.h"
#include "report_page.h"
#include "tarq/api/ir_graph/companions/value_info.h"

namespace tarq::cli {

namespace {

// Bytes of a tensor of that type and shape; nullopt unless every dimension
// is a fixed size and the element type has one.
std::optional<double> tensor_bytes(int32_t dtype, const std::optional<Shape>& shape) {
  if (!shape || dtype == kUndefined || !is_known_elem_type(dtype)) return std::nullopt;
  const size_t size = elem_size(dtype);
  if (size == 0) return std::nullopt;  // strings
  double n = static_cast<double>(size);
  for (const auto& d : *shape) {
    const auto* v = std::get_if<int64_t>(&d);
    if (!v || *v < 0) return std::nullopt;
    n *= static_cast<double>(*v);
  }
  return n;
}

std::optional<double> value_bytes(const onnx::ValueInfoProto& vi) {
  if (!vi.type().has_tensor_type() || !vi.type().tensor_type().has_shape()) return std::nullopt;
  return tensor_bytes(vi.type().tensor_type().elem_type(), inf_shape(vi));
}

std::string tensor_list(const IRGraph& g, const NameVector& names) {
  std::string out;
  for (const auto& name : names) {
    const auto shape = g.get_shape(name);
    out += fmt::format("{}{} {} {}", out.empty() ? "" : "; ", name,
                       elem_type_name(g.get_dtype(name)), shape ? shape_text(*shape) : "[?]");
  }
  return out.empty() ? "none" : out;
}

}  // namespace

int run_report(const CommonOptions& options, const LayerOptions& layer_options,
               const std::string& output) {
  LayerExport e = export_layers(options, layer_options, /*weights_inline=*/false);
  const IRGraph& g = *e.graph;
  const auto& model = g.model();
  const size_t count = e.layers.layers.size();

  // Per layer: who it is and its multiply-accumulates.
  nlohmann::ordered_json labels = nlohmann::ordered_json::array();
  nlohmann::ordered_json ops = nlohmann::ordered_json::array();
  nlohmann::ordered_json macs = nlohmann::ordered_json::array();
  int64_t unknown_macs = 0;
  std::string macs_reason;
  for (size_t k = 0; k < count; ++k) {
    const auto& lg = e.layers.layers[k]->root_as<onnx::ModelProto>().graph();
    std::string label, types;
    double sum = 0;
    bool known = true;
    for (const auto& node : lg.node()) {
      label += (label.empty() ? "" : " + ") + node.name();
      types += (types.empty() ? "" : "+") + node.op_type();
      try {
        sum += g.node_macs(node);
      } catch (const std::exception& ex) {
        if (known && macs_reason.empty()) macs_reason = ex.what();
        known = false;
      }
    }
    labels.push_back(label);
    ops.push_back(types);
    if (known) {
      macs.push_back(sum);
    } else {
      macs.push_back(nullptr);
      ++unknown_macs;
    }
  }

  // Activation memory: the graph inputs, then what each layer writes, less
  // what it frees and what it writes that nobody reads (graph outputs stay).
  const std::unordered_set<std::string> graph_outputs(g.outputs().begin(), g.outputs().end());
  std::unordered_map<std::string, double> live;
  double held = 0;
  int64_t unknown_sizes = 0;
  auto hold = [&](const std::string& name, std::optional<double> bytes) {
    if (live.count(name)) return;
    if (!bytes) ++unknown_sizes;
    live[name] = bytes.value_or(0);
    held += live[name];
  };
  auto release = [&](const std::string& name) {
    auto it = live.find(name);
    if (it == live.end() || graph_outputs.count(name)) return;
    held -= it->second;
    live.erase(it);
  };
  for (const auto& name : g.inputs())
    hold(name, tensor_bytes(g.get_dtype(name), g.get_shape(name)));
  const double start_bytes = held;
  nlohmann::ordered_json after = nlohmann::ordered_json::array();
  nlohmann::ordered_json running = nlohmann::ordered_json::array();
  for (size_t k = 0; k < count; ++k) {
    const auto& lg = e.layers.layers[k]->root_as<onnx::ModelProto>().graph();
    for (const auto& out : lg.output()) hold(out.name(), value_bytes(out));
    running.push_back(held);
    for (auto name : e.layers.can_free(k)) release(std::string(name));
    for (const auto& out : lg.output()) {
      if (!e.layers.next_ids.count(out.name())) release(out.name());
    }
    after.push_back(held);
  }

  nlohmann::ordered_json data;
  data["ops"] = nlohmann::ordered_json::array();
  for (const auto& [op, n] : operator_mix(g)) data["ops"].push_back({op, n});
  data["layers"] = {{"label", std::move(labels)},
                    {"ops", std::move(ops)},
                    {"macs", std::move(macs)},
                    {"live", std::move(after)},
                    {"running", std::move(running)}};
  data["start_bytes"] = start_bytes;
  data["unknown_sizes"] = unknown_sizes;
  data["unknown_macs"] = unknown_macs;
  data["macs_reason"] = macs_reason;

  const CostFigures cost = cost_figures(g);
  std::vector<std::pair<std::string, std::string>> summary{{"Model file", options.model}};
  if (!model.graph().name().empty()) summary.emplace_back("Graph", model.graph().name());
  if (!model.producer_name().empty()) {
    summary.emplace_back(
        "Producer", model.producer_name() +
                        (model.producer_version().empty() ? "" : " " + model.producer_version()));
  }
  summary.emplace_back("IR version, opset", fmt::format("{}, {}", model.ir_version(), g.opset));
  summary.emplace_back("Inputs", tensor_list(g, g.inputs()));
  summary.emplace_back("Outputs", tensor_list(g, g.outputs()));
  summary.emplace_back("Nodes", std::to_string(model.graph().node_size()));
  summary.emplace_back("Layers", fmt::format("{} (NPU target {}, {})", count, layer_options.target,
                                             layer_options.fuse ? "fused where the target allows"
                                                                : "one node per layer"));
  summary.emplace_back("Parameters", fmt::format("{:.3f} MiB", cost.params_mib));
  summary.emplace_back("TFLOPs", cost.tflops ? fmt::format("{:.6g}", *cost.tflops)
                                             : "n/a (" + cost.tflops_reason + ")");
  const std::string name = model.graph().name().empty()
                               ? std::filesystem::path(options.model).filename().string()
                               : model.graph().name();
  write_text(report_page("tarq-ir report: " + name, summary, data), output);

  if (options.json) {
    nlohmann::ordered_json j;
    j["model"] = options.model;
    j["output"] = output;
    j["layers"] = count;
    std::cout << j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
  } else {
    std::cout << fmt::format("report: wrote {} ({} layers)\n", output, count);
  }
  return 0;
}

}  // namespace tarq::cli
