// Construction of an IRGraph and the operator-category lists.
#include "tarq/api/ir_graph/ir_graph.h"

#include <google/protobuf/util/message_differencer.h>
#include <onnx/onnx_pb.h>

#include "tarq/api/ir_graph/nesting.h"
#include "tarq/errors.h"

namespace tarq {

const std::vector<std::string> REDUCE_OPS{
    "ReduceSum", "ReduceMean", "ReduceMax",    "ReduceMin",       "ReduceProd",
    "ReduceL1",  "ReduceL2",   "ReduceLogSum", "ReduceLogSumExp", "ReduceSumSquare"};
const std::vector<std::string> ELEMENTWISE_ALU_OPS{"Add", "Sub", "Mul", "Div"};
const std::vector<std::string> ACTIVATION_OPS{
    "Relu",      "LeakyRelu",   "Sigmoid", "Tanh",    "Clip",     "PRelu",
    "Erf",       "HardSigmoid", "Elu",     "Selu",    "Softplus", "Softsign",
    "HardSwish", "Mish",        "Swish",   "Gelu",    "Mish",     "HardMish",
    "HardSwish", "exHardSwish", "exMish",  "exSwish", "exGelu",   "exActivation"};

namespace {

OwnerPtr checked_model_owner(OwnerPtr owner) {
  if (!owner) throw ValueError("IRGraph needs a model");
  if (owner->root().GetDescriptor() != onnx::ModelProto::descriptor()) {
    throw ValueError("IRGraph needs a ModelProto, got " +
                     owner->root().GetDescriptor()->full_name());
  }
  return owner;
}

}  // namespace

IRGraph::IRGraph(OwnerPtr model_owner, const IRGraphOptions& options) {
  init(checked_model_owner(std::move(model_owner)), options);
}

IRGraph::IRGraph(onnx::ModelProto model, const IRGraphOptions& options) {
  auto owner = std::make_shared<MessageOwner>(std::make_unique<onnx::ModelProto>(std::move(model)));
  init(std::move(owner), options);
}

IRGraph::~IRGraph() = default;

void IRGraph::init(OwnerPtr model_owner, const IRGraphOptions& o) {
  host_factory_ = o.host_factory ? o.host_factory : std::make_shared<HostFactory>();
  // The fields in the order a reader of the model expects them to be set.
  set_model(std::move(model_owner));
  operands_ = std::make_shared<OperandMap>();
  inputs_ = std::make_shared<NameVector>();
  inputs_with_const_ = std::make_shared<NameIndex>();
  consts_ = std::make_shared<NameIndex>();
  outputs_ = std::make_shared<NameVector>();
  nodes_ = std::make_shared<NameIndex>();
  can_frees_ = std::make_shared<NameLists>();
  tensor_dependency_map_ = std::make_shared<DependencyMap>();
  node_dependency_map_ = std::make_shared<DependencyMap>();
  has_extend_op = false;
  graph_ = nullptr;
  graph_owner_.reset();
  initializer_dat = o.initializer_dat;
  n_bytes = 0;
  ori_model_path = o.ori_model_path;
  if (model_->opset_import_size() == 0) {
    throw ValueError("the model has no opset_import entry, so its operator-set version is unknown");
  }
  opset = model_->opset_import(0).version();
  dynamic_shapes = o.dynamic_shapes;
  dynamic_diff = o.dynamic_diff;
  n_dynamic = dynamic_shapes && dynamic_shapes->size() > 0 ? dynamic_shapes->config_count() : 0;
  dynamic_idx.reset();
  dynamic_diff_set = host_factory_->new_array_configs();
  dynamic_shapes_set = host_factory_->new_shape_configs();
  dynamic_dtypes_set = host_factory_->new_dtype_configs();
  nodes_chg.reset();
  node_swap_up.clear();
  node_ban_swap_up.clear();
  opt_level = o.opt_level;
  check = o.check;
  verbose = o.verbose;
  qat = o.qat;
  npu_target = o.npu_target;
  op_convert_history = host_factory_->new_map();
  op_convert_stop = host_factory_->new_list();
  op_ruler_pause = host_factory_->new_map();
  expand_batch_size = 1;
  const_share_tab = host_factory_->new_map();
  weights_for_align = o.weights_for_align ? o.weights_for_align : host_factory_->new_name_list();
  share_weights = o.share_weights;
  op_target = o.op_target;
  do_quantization.reset();
  quantize_dtype.reset();
  unsqueeze_2d_mode = "1A1B";
  act_quant_dtype.reset();
  RebuildOptions first;
  first.edit_par = o.edit_par;
  rebuild(first);
}

void IRGraph::set_model(OwnerPtr model_owner) {
  model_owner_ = checked_model_owner(std::move(model_owner));
  model_ = &model_owner_->root_as<onnx::ModelProto>();
}

bool same_node(const onnx::NodeProto* a, const onnx::NodeProto* b) {
  if (a == b) return true;
  if (!a || !b) return false;
  // Cheap field checks first: most distinct nodes differ in name or type.
  if (a->name() != b->name() || a->op_type() != b->op_type()) return false;
  check_nesting(*a, "a node");  // the comparison recurses into subgraphs
  check_nesting(*b, "a node");
  return google::protobuf::util::MessageDifferencer::Equals(*a, *b);
}

}  // namespace tarq
