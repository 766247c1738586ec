// tarq-ir expand-batch MODEL N -o OUT: the model rebuilt for N samples per
// run. tarq-ir shapes MODEL --config 1x3x224x224 --config ...: the shape of
// every tensor under each input-shape configuration.
#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "edit_session.h"
#include "tarq/api/ir_graph/companions/value_info.h"

namespace tarq::cli {

int run_expand_batch(const CommonOptions& options, int64_t batch, const EditOutput& out) {
  if (batch < 1)
    throw ValueError(fmt::format("expand-batch: the batch size must be positive, not {}", batch));
  EditSession s(options.model);
  if (!s.graph->expand_batch(batch)) {
    // The graph layer's warnings above say why.
    std::cerr << "tarq-ir: expand-batch: " << s.path << " cannot be expanded to batch " << batch
              << " (see the warnings above); nothing was written\n";
    return 1;
  }
  s.save(options, out, fmt::format("expand-batch {}", batch));
  return 0;
}

int run_shapes(const CommonOptions& options, const ShapesOptions& opts) {
  if (opts.configs.empty()) throw ValueError("shapes: give one --config per configuration");
  EditSession s(options.model);
  IRGraph& g = *s.graph;
  std::string input = opts.input;
  if (input.empty()) {
    if (g.inputs().size() != 1) {
      throw ValueError(fmt::format(
          "shapes: {} has {} graph inputs; name the one the configurations set with --input",
          s.path, g.inputs().size()));
    }
    input = g.inputs()[0];
  } else if (std::find(g.inputs().begin(), g.inputs().end(), input) == g.inputs().end()) {
    throw KeyError(fmt::format("shapes: '{}' is not a graph input of {}", input, s.path));
  }
  std::vector<Shape> configs;
  for (const auto& c : opts.configs) configs.push_back(parse_dims(c, "--config " + c));
  auto table = std::make_shared<NativeShapesMap>();
  table->set(input, configs);
  g.update_dynamic_shapes(table);
  g.update_dynamic_shapes();
  const auto& derived = *g.dynamic_shapes;
  if (options.json) {
    nlohmann::ordered_json j;
    j["model"] = s.path;
    j["input"] = input;
    j["configs"] = opts.configs;
    auto& tensors = j["tensors"] = nlohmann::ordered_json::object();
    for (const auto& name : derived.keys()) {
      auto& list = tensors[name] = nlohmann::ordered_json::array();
      for (const auto& shape : derived.get(name)) list.push_back(shape_text(shape));
    }
    std::cout << j.dump(2) << "\n";
    return 0;
  }
  // Rows first, then each column as wide as its widest cell.
  std::vector<std::vector<std::string>> rows{{"tensor"}};
  for (size_t i = 0; i < configs.size(); ++i) rows[0].push_back(fmt::format("config {}", i));
  for (const auto& name : derived.keys()) {
    rows.push_back({name});
    for (const auto& shape : derived.get(name)) rows.back().push_back(shape_text(shape));
  }
  std::vector<size_t> width;
  for (const auto& row : rows) {
    width.resize(std::max(width.size(), row.size()));
    for (size_t k = 0; k < row.size(); ++k) width[k] = std::max(width[k], row[k].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (size_t k = 0; k < row.size(); ++k) line += fmt::format("{:<{}}  ", row[k], width[k]);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::cout << line << "\n";
  }
  return 0;
}

}  // namespace tarq::cli
