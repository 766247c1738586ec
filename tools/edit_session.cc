// The editing commands' shared session: open with a weight cache, save with
// progress, summarise.
#include "edit_session.h"

#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <unordered_set>

#include "tarq/api/ir_graph/companions/progress.h"

namespace tarq::cli {

ModelCounts count_model(const onnx::ModelProto& model) {
  const auto& g = model.graph();
  // Inputs that only declare an initializer are not counted as inputs.
  std::unordered_set<std::string> constants;
  for (const auto& t : g.initializer()) constants.insert(t.name());
  int64_t inputs = 0;
  for (const auto& in : g.input()) inputs += constants.count(in.name()) == 0;
  return {g.node_size(), g.initializer_size(), inputs, g.output_size(), g.value_info_size()};
}

EditSession::EditSession(const std::string& model_path) : path(model_path) {
  // Weights kept in external files are read here, so that one that cannot
  // be read fails the command instead of being replaced by random values.
  OwnerPtr owner = load_model(path, /*load_external_data=*/true);
  before = count_model(owner->root_as<onnx::ModelProto>());
  IRGraphOptions o;
  o.initializer_dat = std::make_shared<NativeArrayMap>();
  o.ori_model_path = path;
  graph = std::make_unique<IRGraph>(owner, o);
}

bool EditSession::out_of_order() const {
  const auto& nodes = graph->model().graph().node();
  std::unordered_set<std::string> later;
  for (const auto& n : nodes) later.insert(n.output().begin(), n.output().end());
  for (const auto& n : nodes) {
    for (const auto& out : n.output()) later.erase(out);
    for (const auto& in : n.input()) {
      if (!in.empty() && later.count(in)) return true;
    }
  }
  return false;
}

void EditSession::save(const CommonOptions& options, const EditOutput& out,
                       const std::string& what) const {
  {
    std::optional<Progress> bar;
    uint64_t shown = 0;
    try {
      graph->save_onnx(out.path, true, out.external_data, [&](uint64_t done, uint64_t total) {
        // Progress counts in KiB, so that large models fit its counter.
        if (!bar) bar.emplace("I Saving ", static_cast<size_t>(total >> 10), 100);
        bar->advance(static_cast<size_t>((done >> 10) - shown));
        shown = done >> 10;
      });
    } catch (const FileError& e) {
      throw OutputError(e.what());
    }
  }
  const ModelCounts after = count_model(graph->model());
  const std::pair<const char*, int64_t ModelCounts::*> rows[] = {
      {"nodes", &ModelCounts::nodes},
      {"initializers", &ModelCounts::initializers},
      {"inputs", &ModelCounts::inputs},
      {"outputs", &ModelCounts::outputs},
      {"value_info", &ModelCounts::value_info}};
  if (options.json) {
    nlohmann::ordered_json j;
    j["command"] = what;
    j["model"] = path;
    j["output"] = out.path;
    if (!out.external_data.empty()) j["external_data"] = out.external_data;
    j["inputs"] = graph->inputs();
    j["outputs"] = graph->outputs();
    for (const auto& [name, field] : rows) {
      j["before"][name] = before.*field;
      j["after"][name] = after.*field;
    }
    std::cout << j.dump(2) << "\n";
    return;
  }
  std::cout << fmt::format("{}: wrote {}\n", what, out.path);
  std::string ins, outs;
  for (const auto& n : graph->inputs()) ins += (ins.empty() ? "" : ", ") + n;
  for (const auto& n : graph->outputs()) outs += (outs.empty() ? "" : ", ") + n;
  std::cout << fmt::format("  inputs:  {}\n  outputs: {}\n", ins, outs);
  std::cout << fmt::format("  {:<14}{:>8}{:>8}\n", "", "before", "after");
  for (const auto& [name, field] : rows) {
    std::cout << fmt::format("  {:<14}{:>8}{:>8}\n", name, before.*field, after.*field);
  }
}

// "1x3xNx?": numbers are fixed sizes, ? an unknown one, anything else a
// symbolic name.
Shape parse_dims(const std::string& text, const std::string& entry) {
  Shape shape;
  if (text.empty()) return shape;  // NAME= : a scalar
  size_t start = 0;
  while (true) {
    const size_t x = text.find('x', start);
    const std::string d = text.substr(start, x == std::string::npos ? x : x - start);
    if (d.empty()) {
      throw ValueError("--shapes " + entry + ": an empty dimension; write sizes as 1x3x224x224");
    }
    if (d == "?") {
      shape.emplace_back(std::monostate{});
    } else if (std::all_of(d.begin(), d.end(), [](unsigned char c) { return std::isdigit(c); })) {
      try {
        shape.emplace_back(static_cast<int64_t>(std::stoll(d)));
      } catch (const std::out_of_range&) {
        throw ValueError("--shapes " + entry + ": dimension " + d + " is too large");
      }
    } else {
      shape.emplace_back(d);
    }
    if (x == std::string::npos) return shape;
    start = x + 1;
  }
}

}  // namespace tarq::cli
