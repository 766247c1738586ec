// The header of the models the graph assembles around a graph of its own
// making: producer "zq", IR version 8 and the given opset imports.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace onnx {
class ModelProto;
}

namespace tarq {

// (domain, version) pairs, in import order; "" is the default domain.
using OpsetImports = std::vector<std::pair<std::string, int64_t>>;

void set_assembled_header(onnx::ModelProto& model, const OpsetImports& imports);

}  // namespace tarq
