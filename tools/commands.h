// Subcommands of tarq-ir. Each takes the shared options and returns the exit
// code; results go to standard output, logs and progress to standard error.
#pragma once

#include <string>

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

// A file the tool cannot write.
struct OutputError : FileError {
  using FileError::FileError;
};
// Writes the model file atomically (OutputError when it cannot).
void write_model(const onnx::ModelProto& model, const std::string& path);

}  // namespace tarq::cli
