#include "known_shape.h"

#include <onnx/onnx_pb.h>

namespace tarq {

namespace {

// Whether value information of the model states a shape for the name.
// Only asked for empty shapes (scalars or unknown), so the walk is rare.
bool stated(const IRGraph& g, const std::string& name) {
  const auto& graph = g.model().graph();
  for (const auto* list : {&graph.input(), &graph.output(), &graph.value_info()}) {
    for (const auto& vi : *list) {
      if (vi.name() == name) return vi.type().tensor_type().has_shape();
    }
  }
  return false;
}

}  // namespace

std::optional<Shape> known_shape(const IRGraph& g, const std::string& name) {
  auto shape = g.get_shape(name);
  if (shape && shape->empty() && g.operand(name) && !stated(g, name)) return std::nullopt;
  return shape;
}

}  // namespace tarq
