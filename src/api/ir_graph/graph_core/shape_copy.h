// A copy of a model for shape inference: everything but the data of large
// top-level initializers, which inference never reads (it reads the data of
// shape-like constants, which are small). Deriving shapes from a copy so
// costs a copy of the graph, not of the weights.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "tarq/api/ir_graph/message_owner.h"

namespace onnx {
class ModelProto;
}

namespace tarq {

// Initializers whose data exceeds this many bytes keep only their name,
// element type and dims in the copy.
constexpr size_t kShapeCopyDataLimit = 64 * 1024;

// The model is left as it was (its initializer list is set aside while the
// rest is copied, then put back: the same elements, at the same addresses).
OwnerPtr shape_copy(onnx::ModelProto& model);

// The deterministic serialization of what shape_copy(model) holds: equal
// keys mean equal copies, so what inference made of one holds for the other.
// nullopt when it would take more than `limit` bytes. The model is left as
// it was.
std::optional<std::string> shape_copy_key(onnx::ModelProto& model, size_t limit);

}  // namespace tarq
