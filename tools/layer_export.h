// What the layers and report commands share: the model cut into the layers
// the NPU compiler consumes (one node, or a producer fused with its single
// consumer), with what each layer reads, writes and may free.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq::cli {

// How one layer looks from outside, read off its model.
struct LayerRecord {
  struct Node {
    std::string name, op_type;
  };
  std::vector<Node> nodes;
  // Computed tensors (and graph inputs) it reads, its own constants, the
  // tensors it writes, and those it may free once it has run.
  std::vector<std::string> inputs, constants, outputs, frees;
};

struct LayerExport {
  std::unique_ptr<IRGraph> graph;
  IrLayers layers;
  LayerRecord record(size_t k) const;
};

// Opens the model and cuts it into layers (a progress bar on a terminal).
// `weights_inline`: the graph keeps every weight in its model, so each layer
// model carries the data of its constants and the graph layer checks it as a
// complete model; otherwise the weights go to a cache and the layer models
// hold placeholders (name, dims, type), enough to describe them. Throws
// ValueError for a target the fuse table does not know.
LayerExport export_layers(const CommonOptions& options, const LayerOptions& layer_options,
                          bool weights_inline);

}  // namespace tarq::cli
