// The registry of the toolkit's extended operators ("ex..." types that ONNX
// does not define) and the value-information completion that shape inference
// cannot do for them.
#pragma once

#include <tsl/ordered_map.h>

#include <string>
#include <utility>
#include <vector>

#include "tarq/api/ir_graph/name_hash.h"

namespace onnx {
class ModelProto;
}

namespace tarq {

class IRGraph;
class MessageOwner;

struct ExtendOp {
  // The outputs take the shape and element type of input 0 (activations,
  // normalisations).
  bool same_as_input0 = false;
};
using ExtendOpRegistry = tsl::ordered_map<std::string, ExtendOp, NameHash, std::equal_to<>>;

// Process-wide registry; by default every extended type the module knows.
const ExtendOpRegistry& extend_ops();
void set_extend_ops(ExtendOpRegistry ops);
bool is_extend_op(std::string_view op_type);

// Completes the value information of extended operators whose outputs take
// the shape and element type of input 0, in node order (repeated until
// nothing changes, so chains resolve in any order). Returns whether the model
// uses any extended operator. `graph` and `dynamic` are accepted for callers
// that pass them; the completion reads only the model. A type it replaces is
// parked with `park_into`, the model's owner, when given (views may refer to
// it).
bool update_model_value_info(IRGraph* graph, onnx::ModelProto& model, bool dynamic,
                             MessageOwner* park_into = nullptr);

}  // namespace tarq
