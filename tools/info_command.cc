// tarq-ir info: what a model holds, at a glance.
#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "model_figures.h"
#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq::cli {

namespace {

std::string dim_text(const Dim& d) {
  if (const auto* v = std::get_if<int64_t>(&d)) return std::to_string(*v);
  if (const auto* s = std::get_if<std::string>(&d)) return *s;
  return "?";
}

nlohmann::ordered_json dim_json(const Dim& d) {
  if (const auto* v = std::get_if<int64_t>(&d)) return *v;
  if (const auto* s = std::get_if<std::string>(&d)) return *s;
  return nullptr;
}

struct TensorInfo {
  std::string name, type;
  Shape shape;
};

std::vector<TensorInfo> describe(const IRGraph& g, const NameVector& names) {
  std::vector<TensorInfo> out;
  for (const auto& name : names) {
    auto op = g.operand(name);
    TensorInfo t{name, op ? elem_type_name(op->dtype) : "UNDEFINED", op ? op->shape : Shape{}};
    out.push_back(std::move(t));
  }
  return out;
}

}  // namespace

int run_info(const CommonOptions& options) {
  auto owner = load_model(options.model, /*load_external_data=*/true);
  IRGraph g(owner);
  const auto& model = g.model();

  const auto freq = operator_mix(g);
  const CostFigures cost = cost_figures(g);
  auto ins = describe(g, g.inputs());
  auto outs = describe(g, g.outputs());
  int64_t n_nodes = model.graph().node_size();
  int64_t n_inits = model.graph().initializer_size();

  if (options.json) {
    nlohmann::ordered_json j;
    j["model"] = options.model;
    j["ir_version"] = model.ir_version();
    j["opset"] = g.opset;
    auto tensors = [](const std::vector<TensorInfo>& ts) {
      auto arr = nlohmann::ordered_json::array();
      for (const auto& t : ts) {
        nlohmann::ordered_json shape = nlohmann::ordered_json::array();
        for (const auto& d : t.shape) shape.push_back(dim_json(d));
        arr.push_back({{"name", t.name}, {"elem_type", t.type}, {"shape", shape}});
      }
      return arr;
    };
    j["inputs"] = tensors(ins);
    j["outputs"] = tensors(outs);
    j["nodes"] = n_nodes;
    j["initializers"] = {{"count", n_inits}, {"bytes", g.n_bytes}};
    j["params_mib"] = cost.params_mib;
    if (cost.tflops) {
      j["tflops"] = *cost.tflops;
    } else {
      j["tflops"] = nullptr;
      j["tflops_reason"] = cost.tflops_reason;
    }
    j["operators"] = nlohmann::ordered_json::object();
    for (const auto& [op, count] : freq) j["operators"][op] = count;
    std::cout << j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    return 0;
  }

  size_t width = 4;
  for (const auto& t : ins) width = std::max(width, t.name.size());
  for (const auto& t : outs) width = std::max(width, t.name.size());
  auto print_tensors = [&](const char* title, const std::vector<TensorInfo>& ts) {
    std::cout << fmt::format("{} ({}):\n", title, ts.size());
    for (const auto& t : ts) {
      std::string shape;
      for (size_t i = 0; i < t.shape.size(); ++i) shape += (i ? ", " : "") + dim_text(t.shape[i]);
      std::cout << fmt::format("  {:<{}}  {:<8}  [{}]\n", t.name, width, t.type, shape);
    }
  };
  std::cout << fmt::format("Model: {}\n", options.model);
  std::cout << fmt::format("  IR version {}, opset {}", model.ir_version(), g.opset);
  if (!model.producer_name().empty()) std::cout << ", producer " << model.producer_name();
  std::cout << "\n";
  print_tensors("Inputs", ins);
  print_tensors("Outputs", outs);
  std::cout << fmt::format("Nodes: {}\n", n_nodes);
  std::cout << fmt::format("Initializers: {} ({}, {} bytes)\n", n_inits,
                           human_bytes(static_cast<double>(g.n_bytes)), g.n_bytes);
  std::cout << fmt::format("Parameters: {:.3f} MiB (4 bytes per weight element)\n",
                           cost.params_mib);
  if (cost.tflops) {
    std::cout << fmt::format("TFLOPs: {:.6g} (2 per multiply-accumulate)\n", *cost.tflops);
  } else {
    std::cout << fmt::format("TFLOPs: n/a ({})\n", cost.tflops_reason);
  }
  std::cout << fmt::format("Operators ({} types):\n", freq.size());
  size_t op_width = 2;
  for (const auto& f : freq) op_width = std::max(op_width, f.first.size());
  for (const auto& [op, count] : freq) {
    const double share =
        n_nodes ? 100.0 * static_cast<double>(count) / static_cast<double>(n_nodes) : 0;
    std::cout << fmt::format("  {:<{}}  {:>6}  {:5.1f}%\n", op, op_width, count, share);
  }
  return 0;
}

}  // namespace tarq::cli
