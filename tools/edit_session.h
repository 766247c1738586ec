// What the editing commands (cut, sort, clean) share: the model opened as a
// graph with a weight cache, its counts before and after, and the result
// written with its weights and a before/after summary.
#pragma once

#include <memory>
#include <string>

#include "commands.h"
#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq::cli {

// How much a model holds, for the before/after summary (inputs: those that
// declare no initializer).
struct ModelCounts {
  int64_t nodes = 0, initializers = 0, inputs = 0, outputs = 0, value_info = 0;
};
ModelCounts count_model(const onnx::ModelProto& model);

// The model, its external data read in, as a graph whose large weights move
// into a weight cache without a copy ("I Loading " shows on a terminal). With a cache the ONNX
// checker only warns, so a model whose nodes are out of order can be opened. The counts of the file
// as it was are kept for the summary.
struct EditSession {
  explicit EditSession(const std::string& model_path);
  std::string path;
  ModelCounts before;
  std::unique_ptr<IRGraph> graph;

  // Whether a top-level node reads a tensor that a later node writes.
  bool out_of_order() const;
  // Writes the graph's model with its weights ("I Saving " on a terminal)
  // and prints the summary: text, or one JSON document with --json.
  void save(const CommonOptions& options, const EditOutput& out, const std::string& what) const;
};

// "1x3xNx?": numbers are fixed sizes, ? an unknown one, anything else a
// symbolic name; empty text is a scalar. `entry` names the argument in errors.
Shape parse_dims(const std::string& text, const std::string& entry);

}  // namespace tarq::cli
