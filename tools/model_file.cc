// Writing a model file through the core's atomic writer: the file appears
// complete under its name or not at all.
#include "commands.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq::cli {

void write_model(const onnx::ModelProto& model, const std::string& path) {
  try {
    save_model(model, path);
  } catch (const FileError& e) {
    throw OutputError(e.what());
  }
}

}  // namespace tarq::cli
