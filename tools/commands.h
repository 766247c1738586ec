// Subcommands of tarq-ir. Each takes the shared options and returns the exit
// code; results go to standard output, logs and progress to standard error.
#pragma once

#include <string>
#include <vector>

#include "tarq/errors.h"

namespace onnx {
class ModelProto;
}

namespace tarq::cli {

struct CommonOptions {
  std::string model;  // empty: the example model
  bool json = false;
  int verbosity = 0;  // -v raises, -q lowers
};

// The model the tool runs on when none is named.
std::string default_model_path(const char* argv0);

int run_info(const CommonOptions& options);
// One node's attributes, defaults included and marked.
int run_node_info(const CommonOptions& options, const std::string& node_name);
// The model converted to 32-bit floats, written to `output`.
int run_fp32(const CommonOptions& options, const std::string& output);

// Where an editing command writes its result.
struct EditOutput {
  std::string path;
  std::string external_data;  // non-empty: the weights go to this file beside `path`
};
// The sub-graph `cut` keeps: new inputs (with shapes as given by NAME=1x3x224x224,
// each dimension a number, a symbolic name or ?) and new outputs.
struct CutOptions {
  std::vector<std::string> inputs, outputs, shapes;
};
// The model cut down to what lies between the new inputs and outputs.
int run_cut(const CommonOptions& options, const CutOptions& cut, const EditOutput& out);
// The nodes put into execution order.
int run_sort(const CommonOptions& options, const EditOutput& out);
// Dead nodes and unused inputs, initializers and value information removed.
int run_clean(const CommonOptions& options, const EditOutput& out);

// The model rebuilt for `batch` samples per run; exit 1, writing nothing,
// when it cannot be (the warnings say why).
int run_expand_batch(const CommonOptions& options, int64_t batch, const EditOutput& out);
// The shape of every tensor under each input-shape configuration.
struct ShapesOptions {
  std::vector<std::string> configs;  // 1x3x224x224, one per configuration
  std::string input;                 // empty: the model's only input
};
int run_shapes(const CommonOptions& options, const ShapesOptions& shapes);

// How the model is cut into layers: with --fuse a producer and its single
// consumer that the target runs as one become one layer.
struct LayerOptions {
  bool fuse = false;
  std::string target = "mini";
};
// One model file per layer in `dir` (layer_<id>.onnx) and the table
// layers.json: each layer's nodes, inputs, outputs and freeable tensors, and
// the layers that read each tensor.
int run_layers(const CommonOptions& options, const LayerOptions& layers, const std::string& dir);
// One self-contained HTML page: model summary, operator mix, multiply-
// accumulates per layer and the memory live after each layer.
int run_report(const CommonOptions& options, const LayerOptions& layers, const std::string& output);

// A file the tool cannot write.
struct OutputError : FileError {
  using FileError::FileError;
};
// Writes the model file atomically (OutputError when it cannot).
void write_model(const onnx::ModelProto& model, const std::string& path);
// Writes text the same way (OutputError when it cannot).
void write_text(const std::string& text, const std::string& path);
// Creates the folder when missing; OutputError when it is not a folder or
// cannot be written into.
void prepare_output_dir(const std::string& dir);

}  // namespace tarq::cli
