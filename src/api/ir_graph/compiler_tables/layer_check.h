// Whether a layer model of an export is valid: every tensor input and output
// has a known rank, and a layer of standard operators passes the ONNX
// checker. The layers of one export share their model header (IR version
// and opset imports), so the header is checked once and each layer's graph
// is checked in the context it sets.
#pragma once

#include <onnx/checker.h>

#include <string>

#include "../graph_core/model_header.h"

namespace onnx {
class ModelProto;
}

namespace tarq {

class LayerChecker {
 public:
  // For layers with the assembled header importing `imports`.
  explicit LayerChecker(const OpsetImports& imports);
  // Why `layer` is not valid, or "" when it is. The layer's constants whose
  // data the weight cache holds are set aside while the checker runs (graph
  // inputs declare them); the list is the same afterwards, message for
  // message.
  std::string invalid_reason(onnx::ModelProto& layer) const;

 private:
  std::string check_graph(const onnx::ModelProto& layer) const;

  onnx::checker::CheckerContext ctx_;
  std::string header_error_;
};

}  // namespace tarq
