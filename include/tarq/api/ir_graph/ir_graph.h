// IRGraph: one ONNX model and the index tables over it; Operand: the record of
// one tensor name. The chief header of the graph layer.
//
// Ownership:
// - An IRGraph owns its model through a MessageOwner (shared with Python views
//   of the model). Operand records and the index tables hold raw
//   onnx::NodeProto pointers into that model, never copies. A node that leaves
//   the model is parked by the owner (see message_owner.h), so such a pointer
//   stays valid, though no longer part of the model, until the owner dies.
// - The index tables are private; callers get const references. The rebuild
//   replaces every table with a new container (held by shared_ptr, so a view
//   of an old table keeps showing that table); editing operations change the
//   current containers in place.
// - Host containers (initializer_dat, dynamic_shapes, dynamic_diff, op_target,
//   share_weights, weights_for_align) are held by reference, shared with the
//   caller.
//
// Note [Index invariants]: after every rebuild, consts[name] is the position
// of the initializer `name`; nodes[name] is the position of the top-level node
// `name`, and top-level node names are unique and non-empty; operands holds
// every name of a graph input, graph output or value-information entry that is
// not a constant, and every tensor name a node reads or writes, except empty
// input names and constants that are not graph inputs.
#pragma once

#include <tsl/ordered_map.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tarq/api/ir_graph/attr_value.h"
#include "tarq/api/ir_graph/dependency_map.h"
#include "tarq/api/ir_graph/host_containers.h"
#include "tarq/api/ir_graph/message_owner.h"
#include "tarq/api/ir_graph/name_arena.h"
#include "tarq/api/ir_graph/name_table.h"
#include "tarq/api/ir_graph/types.h"
#include "tarq/nd_array.h"

namespace onnx {
class AttributeProto;
class ModelProto;
class TensorProto;
class GraphProto;
class NodeProto;
}  // namespace onnx

namespace tarq {

struct LayerInference;
struct NodeSlots;
class OperandPool;

// Operator-category lists, in their published order ("Mish" and "HardSwish"
// stand twice in ACTIVATION_OPS; it is used for membership only).
extern const std::vector<std::string> REDUCE_OPS;
extern const std::vector<std::string> ELEMENTWISE_ALU_OPS;
extern const std::vector<std::string> ACTIVATION_OPS;

// The record of one tensor name: who produces it, who consumes it, and what
// the value information says about it.
struct Operand {
  onnx::NodeProto* input = nullptr;       // producer, or none
  std::vector<onnx::NodeProto*> outputs;  // consumers, each once, link order
  Shape shape;                            // as inf_shape reads it
  int32_t dtype = kUndefined;             // element type; kUndefined = absent
  int64_t used_cnt = 0;                   // reads counted by the free analysis
  int64_t swap_up = 0;                    // swap-up mark
  // Kept exact by the rebuild and every edit, like the links: how many
  // linked nodes write the name (the producer is the last of them), and
  // whether a graph input, output or value-information entry declares it.
  // A record that no node reads or writes and nothing declares leaves the
  // table.
  int32_t writers = 0;
  bool declared = false;
  // Keeps the model the node pointers point into alive (set by the rebuild).
  // A host that links a node of another model records it in `foreign` with
  // the owner of that model, which keeps it alive and is the owner views of
  // that node carry (so that what they park goes to the right model).
  OwnerPtr owner;
  std::vector<std::pair<const onnx::NodeProto*, OwnerPtr>> foreign;
  // The owner of the model `node` belongs to, as far as this record knows.
  const OwnerPtr& owner_of(const onnx::NodeProto* node) const {
    for (auto it = foreign.rbegin(); it != foreign.rend(); ++it) {
      if (it->first == node) return it->second;
    }
    return owner;
  }
};
using OperandPtr = std::shared_ptr<Operand>;

// Index tables: insertion-ordered, keys held by the table (see NameTable).
using NameIndex = NameTable<int64_t>;
using OperandMap = NameTable<OperandPtr>;
using NameVector = std::vector<std::string>;

// One row of the compiler's fuse table: a producer kind and a consumer
// operator type that the listed NPU targets run as one layer. "DwConv" and
// "GroupConv" are the convolution kinds of a Conv node (see can_fuse).
struct FuseRule {
  std::string name;
  std::string producer, consumer;
  std::vector<std::string> targets;
};
extern const std::vector<FuseRule> compiler_fuse_tab;
// The NPU target codes, in the table's order ("mini" first, the default).
extern const std::vector<std::string> npu_targets;

// Tensor -> ids of the layers that read it; see IrLayers::next_ids.
using ReaderIds = std::pmr::vector<int64_t>;
using ReaderTable = tsl::ordered_map<std::string_view, ReaderIds, std::hash<std::string_view>,
                                     std::equal_to<std::string_view>,
                                     std::allocator<std::pair<std::string_view, ReaderIds>>,
                                     std::vector<std::pair<std::string_view, ReaderIds>>>;

// What create_ir_layers returns: one small model per layer, in emission
// order (a layer's position is its id), and beside it the tensors each layer
// may free and the layers that read each tensor.
struct IrLayers {
  std::vector<OwnerPtr> layers;
  // Layer k frees list free_lists[k] of `frees`: the graph's own can_frees
  // table, in which a fused consumer's list was appended to its producer's.
  std::shared_ptr<const NameLists> frees;
  std::vector<size_t> free_lists;
  // Where the id lists of next_ids live (declared first, freed last): one
  // list per tensor read, freed in a few blocks instead of one by one.
  std::shared_ptr<std::pmr::monotonic_buffer_resource> reader_memory =
      std::make_shared<std::pmr::monotonic_buffer_resource>();
  // Tensor -> ids of the layers that read it (each once, ascending), in the
  // order the tensors were first read. The names live in `names`.
  ReaderTable next_ids;
  std::shared_ptr<NameArena> names = std::make_shared<NameArena>();

  std::vector<std::string_view> can_free(size_t k) const { return frees->list(free_lists[k]); }
};

// New graph boundary for the rebuild: new inputs (with shapes and optional
// initial values, by position) and new outputs; an empty list keeps the
// current ones.
struct EditPar {
  std::vector<std::string> inputs;
  std::vector<std::optional<Shape>> shapes;
  std::vector<std::optional<NdArray>> values;
  std::vector<std::string> outputs;
};

struct IRGraphOptions {
  int64_t opt_level = 3;
  bool check = false;
  bool verbose = false;
  bool qat = false;
  std::string npu_target = "mini";
  std::shared_ptr<ShapesMap> dynamic_shapes;
  std::shared_ptr<ArrayMap> initializer_dat;
  const EditPar* edit_par = nullptr;  // handed to the first rebuild, not kept
  std::optional<std::string> ori_model_path;
  HostPtr op_target;
  HostPtr share_weights;
  std::shared_ptr<ArrayConfigs> dynamic_diff;
  std::shared_ptr<NameList> weights_for_align;  // a new empty list when null
  // Makes the toolkit-state containers; native opaque ones when null.
  std::shared_ptr<const HostFactory> host_factory;
};

struct RebuildOptions {
  bool clean_shape = false;
  bool sort_nodes = false;
  const EditPar* edit_par = nullptr;
  bool clean_node = false;
};

class IRGraph {
 public:
  // Wraps the model that `model_owner` holds (its root must be a ModelProto)
  // and runs the first rebuild. Throws ValueError for a model without an
  // opset_import entry; every failure of the rebuild is a failure here.
  explicit IRGraph(OwnerPtr model_owner, const IRGraphOptions& options = {});
  // Takes the model by value.
  explicit IRGraph(onnx::ModelProto model, const IRGraphOptions& options = {});
  IRGraph(const IRGraph&) = delete;
  IRGraph& operator=(const IRGraph&) = delete;
  ~IRGraph();

  // Recreates every index table from the model (graph_core/rebuild.cc).
  // Throws ValueError when called while a rebuild of this graph runs (from
  // a weight cache's or a log sink's callback). With the environment
  // variable TARQ_VERIFY=1 every rebuild ends with verify().
  void rebuild(const RebuildOptions& options = {});

  // Recomputes every index table from the model alone and compares it with
  // the live one: consts, inputs, inputs_with_const, outputs, nodes,
  // operands (every key, in any order; producer, consumers in order, shape,
  // element type, the links of If-branch nodes), can_frees, n_bytes, the dependency
  // maps, graph and node, and the qat and has_extend_op flags the model
  // implies. Throws VerifyError at the first difference; changes nothing.
  // Linear in the model (graph_core/verify.cc).
  void verify() const;

  // --- the model
  onnx::ModelProto& model() { return *model_; }
  const onnx::ModelProto& model() const { return *model_; }
  const OwnerPtr& model_owner() const { return model_owner_; }
  // Replaces the wrapped model; the tables are stale until the next rebuild.
  // graph() keeps showing the previous model's graph, which stays alive,
  // until then.
  void set_model(OwnerPtr model_owner);
  // model.graph and model.graph.node as of the last rebuild, and the owner of
  // the model that graph belongs to (the current one once rebuilt).
  onnx::GraphProto* graph() const { return graph_; }
  const OwnerPtr& graph_owner() const { return graph_owner_; }

  // --- index tables (read-only; see Note [Index invariants])
  const OperandMap& operands() const { return *operands_; }
  const NameVector& inputs() const { return *inputs_; }
  const NameIndex& inputs_with_const() const { return *inputs_with_const_; }
  const NameIndex& consts() const { return *consts_; }
  const NameVector& outputs() const { return *outputs_; }
  const NameIndex& nodes() const { return *nodes_; }
  // The derived tables (can_frees, the dependency maps) are recomputed from
  // the model on first access after an edit.
  const NameLists& can_frees() const { return *can_frees_table(); }
  const DependencyMap& tensor_dependency_map() const { return *tensor_dependency_table(); }
  const DependencyMap& node_dependency_map() const { return *node_dependency_table(); }
  // The same tables as shared handles, for views that must outlive a rebuild.
  std::shared_ptr<const OperandMap> operands_table() const { return operands_; }
  std::shared_ptr<const NameVector> inputs_table() const { return inputs_; }
  std::shared_ptr<const NameIndex> inputs_with_const_table() const { return inputs_with_const_; }
  std::shared_ptr<const NameIndex> consts_table() const { return consts_; }
  std::shared_ptr<const NameVector> outputs_table() const { return outputs_; }
  std::shared_ptr<const NameIndex> nodes_table() const { return nodes_; }
  std::shared_ptr<const NameLists> can_frees_table() const {
    refresh_derived();
    return can_frees_;
  }
  std::shared_ptr<const DependencyMap> tensor_dependency_table() const {
    refresh_derived();
    return tensor_dependency_map_;
  }
  std::shared_ptr<const DependencyMap> node_dependency_table() const {
    refresh_derived();
    return node_dependency_map_;
  }

  // --- queries (graph_core/queries.cc); O(1) lookups plus the list built.
  // The operand of a tensor name, or null.
  OperandPtr operand(const std::string& name) const;
  // Consumers of a tensor (a copy of its operand's list; empty when unknown).
  std::vector<onnx::NodeProto*> next_nodes(const std::string& name) const;
  // Consumers of any output of the node, each once, in first-seen order.
  std::vector<onnx::NodeProto*> next_nodes(const onnx::NodeProto& node) const;
  // The producer of a tensor, if any, as a list of at most one node.
  std::vector<onnx::NodeProto*> pre_nodes(const std::string& name) const;
  // Producers of the node's inputs, each once, in input order.
  std::vector<onnx::NodeProto*> pre_nodes(const onnx::NodeProto& node) const;
  // The same two lists, each node with the record it was found in: the
  // record knows the model the node belongs to (Operand::owner_of), which
  // need not be the current model.
  using NodeLinks = std::vector<std::pair<onnx::NodeProto*, OperandPtr>>;
  NodeLinks next_node_links(const onnx::NodeProto& node) const;
  NodeLinks pre_node_links(const onnx::NodeProto& node) const;
  // Position of the node's name in `nodes`, or -1 (by name only).
  int64_t index(const onnx::NodeProto& node) const;
  // True when nothing consumes the tensor and it is not a graph output.
  bool is_invalid(const std::string& name) const;

  // --- editing (graph_edit/)
  // Each keeps every index table exact without a rebuild (the derived
  // tables, can_frees and the dependency maps, are recomputed on first
  // access) and ends with verify() under TARQ_VERIFY=1. ValueError when the
  // tables describe an earlier model (rebuild first).
  //
  // Removes the top-level node of that name (KeyError when there is none);
  // the node is parked, so views of it stay readable. Later positions move
  // up by one.
  void remove_node(const onnx::NodeProto& node);
  // Removes the nodes in order; returns the largest of their positions
  // before any removal (-1 for a node not in the graph) minus their count.
  int64_t remove_nodes(const std::vector<const onnx::NodeProto*>& nodes);
  // Stores a copy of `node` at position idx (0 to the node count; IndexError
  // otherwise) and links it; returns the stored node. An unnamed node takes
  // the name of its first output, as the rebuild names it. A name already
  // in the node index is reported and the insertion goes on: the index then
  // names the new node, and verify() reports the old one.
  onnx::NodeProto* insert_node(int64_t idx, const onnx::NodeProto& node);
  // Inserts each node right after its last producer, else before its first
  // consumer, else at 0 (producers and consumers among the group and
  // near_nodes count for names the graph does not know); returns the
  // position of the furthest-down node inserted, or -1.
  int64_t insert_nodes(const std::vector<const onnx::NodeProto*>& nodes,
                       const std::vector<const onnx::NodeProto*>& near_nodes = {});
  // Sets input (output) slot idx of the node to `name`, after recording the
  // node in nodes_chg (IndexError for a slot it lacks, once recorded). A
  // node of the graph is relinked; another node (`node_owner` holds the
  // model it lives in) only changes.
  void set_input(onnx::NodeProto& node, int64_t idx, const std::string& name,
                 OwnerPtr node_owner = nullptr);
  void set_output(onnx::NodeProto& node, int64_t idx, const std::string& name,
                  OwnerPtr node_owner = nullptr);
  // Records for the tensors of nodes about to be inserted: they may name
  // nodes that are not in the graph yet, so the tables are exact again once
  // those nodes are inserted (insert_node puts the stored copy in their
  // place); until then edits skip the TARQ_VERIFY proof. A node's owner is
  // null for a node of the graph's model.
  struct NodeRef {
    onnx::NodeProto* node = nullptr;
    OwnerPtr owner;
  };
  // A new record for `name` (unless empty, known or a constant): producer
  // i_node, else the first node of the graph writing it; consumers o_nodes,
  // else (o_nodes empty, and then filled) the nodes of the graph reading it,
  // once per slot.
  void _add_operand(const std::string& name, const NodeRef& i_node, std::vector<NodeRef>& o_nodes);
  // Records for the names a node reads (consumer: the node) and writes
  // (producer: the node).
  void _add_new_operands(const NodeRef& node);
  // Records for the names a group reads and writes, their links looked for
  // among the group and near_nodes first, then in the graph.
  void _add_new_operands2(const std::vector<NodeRef>& nodes,
                          const std::vector<NodeRef>& near_nodes = {});

  // --- constant arrays (tensor_data/const_arrays.cc)
  // The value of a constant: the cached array when initializer_dat holds its
  // name, else the tensor converted. With `ref` the result may share memory
  // with the cache and is read-only for the caller; without it, it is a
  // writable copy. Absent for a null tensor.
  std::optional<NdArray> get_array(const onnx::TensorProto* c, bool ref = true) const;
  // What get_const and get_const_optional hand out: nothing, an array, or
  // (to_array false) the initializer itself.
  using ConstRead = std::variant<std::monostate, NdArray, onnx::TensorProto*>;
  // The constant `name`. While a shape configuration is selected, its own
  // value (set for it, with from_set, or given in dynamic_diff) wins, as an
  // array whatever to_array says.
  ConstRead get_const(const std::string& name, bool to_array = true, bool ref = true,
                      bool from_set = true);
  // Input `idx` of the node as get_const reads it, or the default of that
  // optional input (Slice axes/steps, reduction axes, Split, Pad, Clip
  // limits, Dropout) as an array. Throws ValueError when a shape the default
  // needs is unknown.
  ConstRead get_const_optional(const onnx::NodeProto& node, int64_t idx, bool to_array = true,
                               bool ref = false);
  // Overwrites the data of an initializer with an array of its shape and
  // element type, in the storage field it uses (or in the weight cache when
  // that holds its name, marked read-only). False, and nothing changed, on a
  // shape or type mismatch.
  // `owner` holds the model the tensor lives in (the graph's when null).
  bool set_array(onnx::TensorProto& c, const NdArray& arr, bool ref = true,
                 MessageOwner* owner = nullptr);
  // Writes the constant `name`: in place when set_array can, else as a new
  // tensor (and graph input entry) at the same position or appended. Arrays
  // over 1 MiB go to the weight cache when there is one. With another
  // `model` (owned by `model_owner`, which parks what leaves it) only that
  // model changes. While a configuration is selected, records the value for
  // it instead.
  void set_const(const std::string& name, const NdArray& arr, bool ref = true,
                 onnx::ModelProto* model = nullptr, MessageOwner* model_owner = nullptr);

  // --- attributes (attributes/attribute_access.cc)
  // The attribute `name` of the node: what the node carries (STRING decoded
  // as text, messages by reference into the node), else, with ret_def_attr,
  // the default of its operator type for the model's opset, per-axis lists
  // repeated per spatial axis of input 0, kernel_shape from the weight shape,
  // perm reversed. Throws KeyError for a type without defaults, IndexError
  // when the completion needs an input the node lacks.
  AttrValue get_attr(const onnx::NodeProto& node, const std::string& name,
                     bool ret_def_attr = true) const;
  // Writes the attribute (appended at the end of the node's list) or, for an
  // absent value or an empty list, removes it; the node is recorded in
  // nodes_chg before its first change. `node_owner` holds the model the node
  // lives in (the graph's model when null); what leaves the node is parked
  // there.
  void set_attr(onnx::NodeProto& node, const std::string& name, const AttrValue& val,
                OwnerPtr node_owner = nullptr);
  // Removes the first attribute called `name`, if any.
  void remove_attr(onnx::NodeProto& node, const std::string& name, OwnerPtr node_owner = nullptr);
  // Same operator type and, for every attribute either carries, equal values
  // (defaults included; 1 equals 1.0).
  bool same_attr(const onnx::NodeProto& a, const onnx::NodeProto& b) const;

  // --- shapes and element types (tensor_data/shapes.cc)
  // The tensor's shape: the selected configuration's, else the operand's,
  // else the initializer's dims; nullopt when unknown.
  std::optional<Shape> get_shape(const std::string& name, bool from_set = true) const;
  // The element count; nullopt when the shape is unknown or has a dimension
  // that is not a fixed integer.
  std::optional<int64_t> get_size(const std::string& name) const;
  // The element type (operand, else initializer); kUndefined when unknown.
  int32_t get_dtype(const std::string& name) const;
  // Writes the shape (the last -1 inferred) into every place that holds it:
  // initializer dims, graph input/output or value information, the weight
  // cache, the operand. An unknown name gets a new value-information entry.
  // A size change is reported and written all the same. Returns true.
  bool set_shape(const std::string& name, const Shape& shape, bool check_size = true,
                 bool update_operands = true, int32_t dtype = kUndefined);

  // --- constant nodes, precision, annotations (tensor_data/)
  // The value of a tensor a Constant node produces, else nullopt.
  std::optional<NdArray> get_constant(const std::string& name) const;
  // Turns top-level Constant nodes (but those feeding a graph output) into
  // initializers with graph inputs, then rebuilds.
  void constant_to_initializer();
  // FLOAT16 and DOUBLE become FLOAT everywhere the model states an element
  // type: initializers (and cached arrays), value information, operands,
  // Cast targets, Constant and ConstantOfShape values.
  void convert_to_fp32();
  // The value of the first `attr_name` pair of the tensor's quantization
  // annotations; empty when there is none.
  std::string get_quant_ann(const std::string& name, const std::string& attr_name) const;

  // --- passes and analyses run by the rebuild
  // Puts the top-level nodes into execution order from the graph inputs, or
  // leaves them untouched (graph_core/sort_nodes.cc).
  void _sort_nodes();
  // Per node, the tensors whose last reader it is (passes/can_frees.cc).
  void _create_can_frees();
  // Captures the dependency maps (compiler_tables/dependency_map.cc).
  void create_tensor_dependency_map();

  // --- shape configurations (passes/dynamic_shapes.cc)
  // Selects configuration idx (set_const and set_shape then record per
  // configuration), or lifts the selection: with update_set the recorded
  // values are committed (constants equal in every configuration become
  // plain constants, the others go to dynamic_diff; shapes go to the model as
  // configuration 0's and to dynamic_shapes), and the recording tables start
  // empty either way.
  void set_dynamic_idx(std::optional<int64_t> idx, bool update_set = false);
  // With a non-empty table: takes it as dynamic_shapes (the host's object
  // itself) and n_dynamic from it. Otherwise derives, per configuration, the
  // shape of every tensor the inferred copy describes, on a copy of the model
  // (the graph's own model does not change), and replaces dynamic_shapes
  // with the result once all configurations are done. `log` writes debug
  // messages.
  void update_dynamic_shapes(const std::shared_ptr<ShapesMap>& shapes = nullptr, bool log = false);

  // Rebuilds the model for `batch_size` samples per run: graph inputs get
  // that leading dimension, batch-dependent constants and attributes of
  // Reshape, Transpose, Resize, Slice and LSTM nodes are rewritten, and
  // shape inference (with data propagation) must then give every tensor a
  // fully known shape. Refuses (warning, false) a graph input whose leading
  // dimension is not 1 or a reduction operator. The work is done on a copy:
  // on refusal the model and the tables are as they were; on success the
  // copy becomes the model and the tables are rebuilt (passes/expand_batch.cc).
  bool expand_batch(int64_t batch_size);

  // --- compiler-facing analyses (compiler_tables/)
  // Whether the producer `node` and its consumer `node2` run as one layer
  // on npu_target: a row of compiler_fuse_tab, else (with `relu`) any
  // producer but an extended ("ex...") operator followed by Relu or Clip;
  // then vetoed when quant_tab's record of node2's input 0 holds
  // "fake_convert" (KeyError when quant_tab is non-empty and has no record
  // for it) or when op_target places either node's output 0 on "cpu" or
  // "gpu". A Conv is matched by its kind: "Conv" (group 1), "DwConv" (one
  // group per input and output channel) or "GroupConv"; ValueError when a
  // shape that needs is unknown (compiler_tables/fusion.cc).
  bool can_fuse(const onnx::NodeProto& node, const onnx::NodeProto& node2, bool relu = false,
                const RecordMap* quant_tab = nullptr) const;
  // One model per node in model order (a node and its single consumer as
  // one when `fuse_op` holds and can_fuse allows it), each with the value
  // information of its inputs, including what its subgraphs read from
  // outside, and outputs, its constants, and every opset the model imports.
  // The value information comes from shape inference of a copy of the model
  // with data propagation. With `dynamic_idx`, constants and shapes are
  // those of that shape configuration (dynamic_diff values are written into
  // the graph's constants). A layer that cannot be made valid is reported
  // with its id and the reason, after the export's other messages. The
  // whole-model inference is kept and taken again while the model's content
  // is unchanged. The layers share one arena: their memory goes with the
  // last of them. `log` shows progress (compiler_tables/ir_layers.cc).
  IrLayers create_ir_layers(bool fuse_op = false, const RecordMap* quant_tab = nullptr,
                            bool log = true, std::optional<int64_t> dynamic_idx = std::nullopt);
  // Parameter MiB (4 bytes per initializer element) and tera-operations (2
  // per multiply-accumulate of Conv, ConvTranspose, Gemm, MatMul, exMatMul,
  // BatchNormalization, Relu and Add nodes). ValueError when a counted node's
  // shapes are unknown or not fixed (compiler_tables/cost_stats.cc).
  std::pair<double, double> calc_params_tflops() const;
  // The first of the two alone: it needs no shapes.
  double calc_params_mib() const;
  // The multiply-accumulates of one node as calc_params_tflops counts them
  // (0 for other operator types).
  double node_macs(const onnx::NodeProto& node) const;
  // Operator type -> node count, by operator type.
  std::vector<std::pair<std::string, int64_t>> calc_node_freq() const;
  // Recomputes node_swap_up and the operands' swap_up marks from the
  // swap-up operator list (companions/settings.h); set_swap_up and
  // ban_swap_up add names not yet listed (compiler_tables/swap_up.cc).
  void update_swap_up();
  void set_swap_up(const NameVector& names);
  void ban_swap_up(const NameVector& names);

  // --- model maintenance passes (passes/)
  // Shape-infers the model that `model` owns (its root must be a ModelProto),
  // completes the value information of extended operators and, when `check`
  // holds and the model is standard, fully shaped and keeps its weights
  // inline, runs the ONNX checker (ValidationError on failure). Returns the
  // owner of the result, which is `model` itself: a successful inference
  // replaces its contents in place (passes/shape_inference.cc).
  // `data_prop` turns on ONNX's data propagation (shapes computed from
  // Shape -> Gather -> Concat chains), which the default options leave off.
  OwnerPtr infer_shapes(const OwnerPtr& model, bool check = true, bool dynamic = false,
                        bool data_prop = false);
  // Brings the graph's model into canonical form and replaces it with the
  // shape-inferred result; the tables are stale until the next rebuild.
  // Returns 0 (passes/clean_model.cc).
  int _clean_model(bool clean_shape, bool clean_node = false);

  // --- model assembly, saving, copying (graph_core/model_assembly.cc)
  // A model around `graph`: producer "zq", IR version 8, one import of the
  // default domain at `opset`; then shape-inferred (and checked when `check`
  // holds) as infer_shapes does. Returns the owner of the new model.
  OwnerPtr make_model(onnx::GraphProto graph, int64_t opset = 12, bool check = true);
  // The same, importing each (domain, version) of `imports` in order.
  OwnerPtr make_model(onnx::GraphProto graph,
                      const std::vector<std::pair<std::string, int64_t>>& imports,
                      bool check = true);
  // Writes the model to `path`, atomically (see save_model). Without a
  // weight cache the model is written as it is. With one, the cached arrays
  // are written as the data of their placeholders when `save_large` holds
  // or n_bytes is below max_onnx_weight(); otherwise a warning names the
  // size and only the basic graph (the placeholders) is written. The
  // graph's own model never changes. A non-empty `external_data` names the
  // file, beside `path`, that receives the large weights as ONNX external
  // data. Throws FileError when a file cannot be written (an existing file
  // then stays as it was), ValueError for a single file over 2 GB.
  // `progress` hears of the bytes written (see ModelFileOptions).
  void save_onnx(const std::string& path, bool save_large = false,
                 const std::string& external_data = "",
                 const std::function<void(uint64_t, uint64_t)>& progress = {}) const;
  // A new graph over a deep copy of the model, built with this graph's
  // settings: the same arrays in a new weight cache (or none), deep copies
  // of the host containers (dynamic_shapes and dynamic_diff only with
  // `keep_dynamic`), `edit_par` applied by its first rebuild, and
  // expand_batch_size carried over.
  std::shared_ptr<IRGraph> deepcopy(bool share_initializer_dat = true,
                                    const EditPar* edit_par = nullptr,
                                    bool keep_dynamic = true) const;

  // --- fields set by construction and the rebuild
  bool has_extend_op = false;
  std::shared_ptr<ArrayMap> initializer_dat;
  int64_t n_bytes = 0;
  std::optional<std::string> ori_model_path;
  int64_t opset = 0;
  std::shared_ptr<ShapesMap> dynamic_shapes;
  std::shared_ptr<ArrayConfigs> dynamic_diff;
  int64_t n_dynamic = 0;
  std::optional<int64_t> dynamic_idx;
  std::shared_ptr<NodeChanges> nodes_chg;
  NameVector node_swap_up;
  NameVector node_ban_swap_up;
  int64_t opt_level = 3;
  bool check = false;
  bool verbose = false;
  bool qat = false;
  std::string npu_target = "mini";
  int64_t expand_batch_size = 1;
  std::shared_ptr<NameList> weights_for_align;
  HostPtr share_weights;
  HostPtr op_target;
  std::string unsqueeze_2d_mode = "1A1B";

  // Values and shapes set for one shape configuration while dynamic_idx is
  // set (created here, empty).
  std::shared_ptr<ArrayConfigs> dynamic_diff_set;
  std::shared_ptr<ShapeConfigs> dynamic_shapes_set;
  std::shared_ptr<DtypeConfigs> dynamic_dtypes_set;
  // Toolkit state: created here (and op_ruler_pause reset by every rebuild),
  // read and written only by the toolkit's own passes.
  HostPtr op_convert_history, op_convert_stop, op_ruler_pause, const_share_tab;
  HostPtr do_quantization, quantize_dtype, act_quant_dtype;  // absent: null
  const HostFactory& host_factory() const { return *host_factory_; }

 private:
  void init(OwnerPtr model_owner, const IRGraphOptions& options);
  // Index building from the current model (graph_core/index_building.cc).
  void build_boundary_and_operands();
  NodeSlots build_node_index_and_links();
  NodeSlots resolve_slots() const;
  void fill_can_frees(const NodeSlots& slots) const;
  void capture_dependencies(const NodeSlots& slots) const;
  // Recomputes the derived tables when an edit made them stale.
  void refresh_derived() const {
    if (derived_stale_) recompute_derived();
  }
  void recompute_derived() const;
  std::pair<std::shared_ptr<DependencyMap>, std::shared_ptr<DependencyMap>> capture_dependency_maps(
      const NodeSlots& slots) const;
  void scan_operators();
  // The operand of `name`, appended to the table when missing (an edit's
  // new tensor; graph_core/index_building.cc).
  OperandPtr ensure_operand(const std::string& name);
  // Whether the node is a top-level If node of the graph the tables index,
  // and the links after one of its branches changed: `gone` held the old
  // branch's nodes (parked), `added` is the new branch or null
  // (graph_core/branch_links.cc).
  bool is_linked_if(const onnx::NodeProto& node) const;
  // Puts `fresh` (or nothing) in place of the node's attribute `name`,
  // parking the old one, and relinks If branches (attributes/).
  void replace_attr(onnx::NodeProto& node, const std::string& name,
                    std::optional<onnx::AttributeProto> fresh, const OwnerPtr& owner);
  void relink_branch(const std::vector<const onnx::NodeProto*>& gone,
                     const onnx::GraphProto* added);
  // Producer and consumer links after an edit (graph_edit/links.cc), the
  // one place that changes them: each keeps them as a rebuild would make
  // them. ValueError unless the tables describe the current model.
  void require_current_tables(const char* operation) const;
  // The node's position when it is a top-level node of the graph, else -1.
  int64_t top_level_position(const onnx::NodeProto* node) const;
  // Links the top-level node at `pos` as reader and writer of its names, or
  // takes those links away (the node has already left the list).
  void link_top_level(onnx::NodeProto* node, int64_t pos);
  void unlink_top_level(onnx::NodeProto* node);
  // One slot's worth: `node` (top-level at `pos`) reads or writes `name`, or
  // no longer does through this slot.
  void link_read(onnx::NodeProto* node, int64_t pos, const std::string& name);
  void link_write(onnx::NodeProto* node, int64_t pos, const std::string& name);
  void unlink_read(onnx::NodeProto* node, const std::string& name);
  void unlink_write(onnx::NodeProto* node, const std::string& name, int32_t slots = 1);
  // Recomputes the links of the names by one walk over the model.
  void relink_names(const std::vector<std::string>& names);
  void drop_if_unused(const std::string& name);
  // The derived tables become stale; verify() under TARQ_VERIFY=1.
  void finish_edit();
  // Records the node in nodes_chg (when there is one) before its first
  // change: a copy of it as it is, and the node (attributes/).
  void record_change(onnx::NodeProto& node, const OwnerPtr& node_owner);
  // set_input (output false) and set_output.
  void rewire(onnx::NodeProto& node, int64_t idx, const std::string& name, OwnerPtr node_owner,
              bool output);
  // A layer graph's shapes (and, with dynamic_diff, its Reshape targets) as
  // they are in configuration idx; `owner` holds the layer
  // (compiler_tables/ir_layers.cc).
  void specialise_layer(onnx::GraphProto& layer, int64_t idx, MessageOwner& owner);
  // Moves weights into the cache, loads external data and checks the model
  // (graph_core/weight_cache.cc).
  void load_weights(bool edit_par_given);
  // The rebuild's sort, before the cleaning: constants and graph inputs come
  // from the model (graph_core/sort_nodes.cc). Returns whether it reordered.
  bool sort_before_cleaning();
  void build_consts();
  void compute_n_bytes();
  // The rebuild's redefinition of the graph inputs and outputs
  // (graph_core/boundary.cc). `const_names` are the initializer names and
  // `old_inputs` the element types of the graph inputs that are not
  // initializers, both as they were before it; it turns `clean_node` on
  // when nodes may now lie outside the new boundary.
  void redefine_boundary(const EditPar& edit_par, const NameVector& const_names,
                         const tsl::ordered_map<std::string, int32_t>& old_inputs,
                         bool& clean_node);

  std::shared_ptr<const HostFactory> host_factory_;
  OwnerPtr model_owner_;
  onnx::ModelProto* model_ = nullptr;
  // graph_ lives in the model graph_owner_ holds: a pointer into a model is
  // always kept beside an owner of that model.
  OwnerPtr graph_owner_;
  onnx::GraphProto* graph_ = nullptr;
  bool rebuilding_ = false;

  std::shared_ptr<OperandMap> operands_;
  std::shared_ptr<OperandPool> operand_pool_;  // where this rebuild's records live
  std::shared_ptr<NameVector> inputs_;
  std::shared_ptr<NameIndex> inputs_with_const_;
  std::shared_ptr<NameIndex> consts_;
  std::shared_ptr<NameVector> outputs_;
  std::shared_ptr<NameIndex> nodes_;
  // Derived from the tables above: replaced by the rebuild, and after an
  // edit (which marks them stale) on first access.
  mutable std::shared_ptr<NameLists> can_frees_;
  mutable std::shared_ptr<DependencyMap> tensor_dependency_map_;
  mutable std::shared_ptr<DependencyMap> node_dependency_map_;
  mutable bool derived_stale_ = false;
  // Names whose records the _add_* helpers made for nodes not yet in the
  // graph: until those nodes are in, edits skip the proof (finish_edit).
  std::vector<std::string> prepared_;
  // What the last layer export's shape inference gave, with the content it
  // was given (compiler_tables/ir_layers.cc).
  std::shared_ptr<const LayerInference> layer_inference_;
};

// The value a tensor holds in the model itself (not the weight cache), as a
// new array (tensor_data/const_arrays.cc).
NdArray tensor_array(const onnx::TensorProto& c);

// Two nodes are the same when they are the same object or equal as messages.
bool same_node(const onnx::NodeProto* a, const onnx::NodeProto* b);

// Reads a model file (no size limit below the file's). Throws FileError when
// the file cannot be read, ValueError when it is not a model.
OwnerPtr load_model(const std::string& path);

// --- model files (graph_core/model_io.cc)
// Reads a model file; with `load_external_data`, the data of every tensor
// kept in an external file (initializers and tensor attributes, subgraphs
// included) is read in from the model file's folder, as the rebuild would
// read it (FileError when it cannot be).
OwnerPtr load_model(const std::string& path, bool load_external_data);

// How save_model writes a model file.
struct ModelFileOptions {
  // Arrays that stand for the data of top-level initializers of those names
  // (the weight cache, put back): such a tensor is written with the array's
  // bytes as its raw_data (as from_array encodes them) in place of its own
  // data fields; its other fields, dims and data_type included, stay.
  const tsl::ordered_map<std::string, NdArray>* weights = nullptr;
  // Non-empty: a path relative to the model file's folder (no "..") of the
  // file that receives, as ONNX external data (location, offset, length;
  // data_location EXTERNAL), the data of every top-level initializer held
  // as raw bytes of kExternalDataThreshold bytes or more.
  std::string external_data;
  // The folder that data the model already keeps in external files is read
  // from when it moves into `external_data`.
  std::string base_dir;
  // Called as bytes go out, with the bytes written so far and the total of
  // both files.
  std::function<void(uint64_t, uint64_t)> progress;
};
constexpr size_t kExternalDataThreshold = 1024;

// Writes the model file atomically: into a new file beside `path`, flushed
// and closed, then renamed over it, so that the file appears complete under
// its name or not at all (the external data file likewise, renamed first).
// A symbolic link is written through; a path that exists but is not a
// regular file (a device, a pipe) is written directly. Weight bytes are
// written from where they lie, never copied into a serialized buffer.
// Throws FileError when a file cannot be written (no temporary file is left
// behind, an existing file stays as it was), ValueError when the model file
// would exceed the 2 GB a protobuf message can hold.
void save_model(const onnx::ModelProto& model, const std::string& path,
                const ModelFileOptions& options = {});

}  // namespace tarq
