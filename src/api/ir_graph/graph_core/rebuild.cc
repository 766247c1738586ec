// The rebuild: brings the model into a consistent state and recreates every
// index table from it, in a fixed order of steps.
//
// Host code may run inside a rebuild: the weight cache's methods and the
// cleaning's host caches are the host's own objects. They run only in the
// steps before the index building (cleaning, weights), each such step finds
// the model again afterwards, and the index tables are built from the model
// as it then is, with no host code running in between. Reports are held
// until the tables are built (TarqLog::Hold), so a logging handler too runs
// when the rebuild holds nothing of the model. A host that replaces the
// graph's model from inside makes the rebuild fail with ValueError; one that
// calls rebuild() on the same graph from inside gets ValueError.
#include <onnx/onnx_pb.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "declared_size.h"
#include "node_slots.h"
#include "read_ahead.h"
#include "step_clock.h"
#include "tarq/api/ir_graph/companions/extend_ops.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/nesting.h"
#include "tarq/errors.h"
#include "verify_wanted.h"

namespace tarq {

bool verify_wanted() {
  static const bool wanted = [] {
    const char* v = std::getenv("TARQ_VERIFY");
    return v && *v && std::strcmp(v, "0") != 0;
  }();
  return wanted;
}

void verify_if_wanted(const IRGraph& g) {
  if (verify_wanted()) g.verify();
}

namespace {

// Marks the graph as rebuilding for the scope's lifetime.
class RebuildScope {
 public:
  explicit RebuildScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~RebuildScope() { flag_ = false; }
  RebuildScope(const RebuildScope&) = delete;
  RebuildScope& operator=(const RebuildScope&) = delete;

 private:
  bool& flag_;
};

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

int64_t declared_bytes(const onnx::TensorProto& tensor) {
  return wrapping_mul(declared_count(tensor.dims()), host_item_size(tensor.data_type()));
}

int64_t initializer_bytes(const onnx::GraphProto& graph) {
  int64_t total = 0;
  for (const auto& init : graph.initializer()) total = wrapping_add(total, declared_bytes(init));
  return total;
}

void IRGraph::rebuild(const RebuildOptions& options) {
  if (rebuilding_) {
    throw ValueError(
        "rebuild() was called while this graph's rebuild is running (from a weight cache or a "
        "log handler); call it once that rebuild has returned");
  }
  check_nesting(*model_, "the model");
  TarqLog::Hold reports;  // written once the rebuild is over
  {
    RebuildScope scope(rebuilding_);
    const OwnerPtr keep = model_owner_;
    auto check_model_kept = [&](const char* step) {
      if (model_owner_ != keep) {
        throw ValueError(std::string("the graph's model was replaced during the rebuild (") + step +
                         "); rebuild again");
      }
    };
    StepClock clock;
    // Sorting first lets shape inference and the checker in the cleaning see
    // every producer before its consumers; the cleaning keeps the relative
    // order of the nodes it keeps, so the order holds for the tables.
    if (options.sort_nodes) {
      sort_before_cleaning();
      clock.lap("sort");
    }
    bool clean_node = options.clean_node;
    if (edit_par_given(options.edit_par)) {
      // The initializer names and the element types of the other graph
      // inputs, as they are before the boundary moves.
      NameVector const_names;
      const_names.reserve(static_cast<size_t>(model_->graph().initializer_size()));
      for (const auto& init : model_->graph().initializer()) const_names.push_back(init.name());
      std::unordered_set<std::string_view> constants(const_names.begin(), const_names.end());
      tsl::ordered_map<std::string, int32_t> old_inputs;
      for (const auto& in : model_->graph().input()) {
        if (!constants.count(in.name())) {
          old_inputs.insert_or_assign(in.name(), in.type().tensor_type().elem_type());
        }
      }
      redefine_boundary(*options.edit_par, const_names, old_inputs, clean_node);
      clock.lap("boundary");
    }
    bool clean_shape = options.clean_shape;
    if (!clean_shape) {
      // A value info without any type cannot be trusted; clean them all away.
      for (const auto& vi : model_->graph().value_info()) {
        if (!tensor_type_present(vi.type().tensor_type()) &&
            !sequence_type_present(vi.type().sequence_type())) {
          tarqLog::w("The type of '" + vi.name() + "' is wrong! Try clean it!");
          clean_shape = true;
          break;
        }
      }
    }
    clock.lap("type_check");
    _clean_model(clean_shape, clean_node);
    check_model_kept("cleaning");
    graph_ = model_->mutable_graph();
    graph_owner_ = model_owner_;
    clock.lap("clean");
    scan_operators();
    build_consts();
    clock.lap("scan_consts");
    if (initializer_dat) {
      load_weights(edit_par_given(options.edit_par));
      check_model_kept("weights");
      // The weight cache may have run host code: take the graph and its
      // constants again.
      graph_ = model_->mutable_graph();
      build_consts();
      clock.lap("weights");
    }
    // From here on no host code runs until the tables are complete.
    build_boundary_and_operands();
    clock.lap("operands");
    NodeSlots slots = build_node_index_and_links();
    clock.lap("links");
    can_frees_ = std::make_shared<NameLists>();
    fill_can_frees(slots);
    compute_n_bytes();
    clock.lap("frees_bytes");
    capture_dependencies(slots);
    derived_stale_ = false;
    prepared_.clear();
    clock.lap("dependencies");
    clock.report(graph_->node_size());
    op_ruler_pause = host_factory_->new_map();
  }
  reports.release();
  if (verify_wanted()) verify();
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

void IRGraph::compute_n_bytes() { n_bytes = initializer_bytes(*graph_); }

}  // namespace tarq
