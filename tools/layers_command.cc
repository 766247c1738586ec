// tarq-ir layers MODEL -o DIR [--fuse] [--target T]: the model as the NPU
// compiler consumes it, one model file per layer, and a table of what each
// layer reads, writes and may free.
//
// The graph is opened without a weight cache: the graph layer then copies
// the data of each layer's constants into the layer model and runs the ONNX
// checker on it (it can only when the constants hold their data), so every
// file written is a complete model proved valid, written as it is. The cost
// is that the weights are held twice while the layers are written; a cache
// would avoid that, but its layers hold placeholders that would need the
// cached arrays put back file by file, and they would go unchecked.
#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "commands.h"
#include "layer_export.h"
#include "tarq/api/ir_graph/companions/progress.h"

namespace tarq::cli {

namespace {

// layer_07.onnx: ids padded to the width of the largest, so names sort.
std::string layer_file(size_t id, size_t count) {
  const size_t width = std::to_string(count > 0 ? count - 1 : 0).size();
  return fmt::format("layer_{:0{}}.onnx", id, width);
}

}  // namespace

int run_layers(const CommonOptions& options, const LayerOptions& layer_options,
               const std::string& dir) {
  namespace fs = std::filesystem;
  LayerExport e = export_layers(options, layer_options, /*weights_inline=*/true);
  prepare_output_dir(dir);
  const size_t count = e.layers.layers.size();

  nlohmann::ordered_json table;
  table["model"] = options.model;
  table["target"] = layer_options.target;
  table["fuse"] = layer_options.fuse;
  table["nodes"] = e.graph->model().graph().node_size();
  auto& rows = table["layers"] = nlohmann::ordered_json::array();
  {
    std::optional<Progress> bar;
    if (count) bar.emplace("I Writing ", count, 100);
    for (size_t k = 0; k < count; ++k) {
      const LayerRecord r = e.record(k);
      const std::string file = layer_file(k, count);
      write_model(e.layers.layers[k]->root_as<onnx::ModelProto>(), (fs::path(dir) / file).string());
      e.layers.layers[k].reset();  // written: its copy of the weights can go
      nlohmann::ordered_json row;
      row["id"] = k;
      row["file"] = file;
      auto& nodes = row["nodes"] = nlohmann::ordered_json::array();
      for (const auto& n : r.nodes) nodes.push_back({{"name", n.name}, {"op_type", n.op_type}});
      row["inputs"] = r.inputs;
      row["constants"] = r.constants;
      row["outputs"] = r.outputs;
      row["frees"] = r.frees;
      rows.push_back(std::move(row));
      bar->advance();
    }
  }
  auto& readers = table["readers"] = nlohmann::ordered_json::object();
  for (const auto& [tensor, ids] : e.layers.next_ids) readers[std::string(tensor)] = ids;
  const auto dump = [](const nlohmann::ordered_json& j) {
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  };
  const std::string table_path = (fs::path(dir) / "layers.json").string();
  write_text(dump(table), table_path);

  if (options.json) {
    nlohmann::ordered_json j;
    j["model"] = options.model;
    j["output"] = dir;
    j["table"] = table_path;
    j["layers"] = count;
    j["nodes"] = table["nodes"];
    std::cout << dump(j);
  } else {
    std::cout << fmt::format("layers: wrote {} layer models of {} nodes to {} (target {}{})\n",
                             count, table["nodes"].get<int64_t>(), dir, layer_options.target,
                             layer_options.fuse ? ", fused" : "");
    std::cout << fmt::format("  table: {}\n", table_path);
  }
  return 0;
}

}  // namespace tarq::cli
