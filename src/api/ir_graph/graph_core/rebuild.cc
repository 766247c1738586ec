// The rebuild: brings the model into a consistent state and recreates every
// index table from it, in a fixed order of steps.
#include <onnx/onnx_pb.h>

#include "declared_size.h"
#include "node_slots.h"
#include "read_ahead.h"
#include "step_clock.h"
#include "tarq/api/ir_graph/companions/extend_ops.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

bool edit_par_given(const EditPar* p) {
  return p && !(p->inputs.empty() && p->outputs.empty() && p->shapes.empty() && p->values.empty());
}

// Bytes one element takes in the host's arrays (object references for
// strings), as the initializer byte total counts them.
int64_t host_item_size(int32_t code) {
  if (code == kString) return 8;
  if (!is_known_elem_type(code)) return 0;
  return static_cast<int64_t>(elem_size(code));
}

}  // namespace

void IRGraph::rebuild(const RebuildOptions& options) {
  if (edit_par_given(options.edit_par)) {
    throw ValueError("edit_par: redefining the graph inputs and outputs is not supported yet");
  }
  StepClock clock;
  bool clean_shape = options.clean_shape;
  if (!clean_shape) {
    // A value info without any type cannot be trusted; clean them all away.
    for (const auto& vi : model_->graph().value_info()) {
      if (!tensor_type_present(vi.type().tensor_type()) &&
          vi.type().sequence_type().ByteSizeLong() == 0) {
        tarqLog::w("The type of '" + vi.name() + "' is wrong! Try clean it!");
        clean_shape = true;
        break;
      }
    }
  }
  clock.lap("type_check");
  _clean_model(clean_shape, options.clean_node);
  graph_ = model_->mutable_graph();
  clock.lap("clean");
  scan_operators();
  build_consts();
  clock.lap("scan_consts");
  if (initializer_dat) {
    load_weights(edit_par_given(options.edit_par));
    clock.lap("weights");
  }
  build_boundary_and_operands();
  clock.lap("operands");
  if (options.sort_nodes) {
    _sort_nodes();
    clock.lap("sort");
  }
  NodeSlots slots = build_node_index_and_links();
  clock.lap("links");
  can_frees_ = std::make_shared<NameLists>();
  fill_can_frees(slots);
  compute_n_bytes();
  op_ruler_pause = host_factory_->new_map();
  clock.lap("frees_bytes");
  capture_dependencies(slots);
  clock.lap("dependencies");
  clock.report(graph_->node_size());
}

void IRGraph::scan_operators() {
  const auto& nodes = graph_->node();
  for (int i = 0; i < nodes.size(); ++i) {
    read_ahead<kOpType>(nodes, i, no_slots);
    const auto& node = nodes.Get(i);
    std::string_view op = node.op_type();
    if (op == "DequantizeLinear" || op == "QuantizeLinear") qat = true;
    if (is_extend_op(op) || op == "Reshape_") {
      // The first extended operator ends the scan for both flags.
      has_extend_op = true;
      break;
    }
    if (op == "SequenceConstruct") {
      tarqLog::e(
          "The Op of 'SequenceConstruct' is not supported yet, please remove it and try "
          "again!");
    }
  }
}

void IRGraph::build_consts() {
  consts_ = std::make_shared<NameIndex>();
  consts_->reserve(static_cast<size_t>(graph_->initializer_size()));
  int64_t pos = 0;
  for (const auto& init : graph_->initializer()) (*consts_)[init.name()] = pos++;
}

void IRGraph::compute_n_bytes() {
  int64_t total = 0;
  for (const auto& init : graph_->initializer()) {
    total = wrapping_add(
        total, wrapping_mul(declared_count(init.dims()), host_item_size(init.data_type())));
  }
  n_bytes = total;
}

}  // namespace tarq
