// Fusion rules: which producer/consumer pairs the NPU compiler runs as one
// layer on each target. A fixed table of pairs, a looser rule for rectifiers,
// and two vetoes (a fake-converted consumer input, a node placed off the NPU).
#include <onnx/onnx_pb.h>

#include <algorithm>

#include "known_shape.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

FuseRule rule(std::string name, std::string producer, std::string consumer,
              std::vector<std::string> targets = npu_targets) {
  return {std::move(name), std::move(producer), std::move(consumer), std::move(targets)};
}

// The fixed dimension `k` of a tensor's shape; IndexError below that rank,
// ValueError when the shape is unknown. A dimension that is not a fixed
// integer reads as -1, which equals no group count.
int64_t dim_of(const IRGraph& g, const std::string& name, size_t k) {
  const auto shape = known_shape(g, name);
  if (!shape) throw ValueError("can_fuse: the shape of '" + name + "' is unknown");
  if (shape->size() <= k) {
    throw IndexError("can_fuse: '" + name + "' has rank " + std::to_string(shape->size()) +
                     ", dimension " + std::to_string(k) + " is needed");
  }
  const auto* v = std::get_if<int64_t>(&(*shape)[k]);
  return v ? *v : -1;
}

// The convolution kind of a Conv node ("Conv", "DwConv" or "GroupConv");
// any other node's operator type. The shapes are read before the group, as
// the checks read them.
std::string conv_op_type(const IRGraph& g, const onnx::NodeProto& node) {
  if (node.op_type() != "Conv") return node.op_type();
  if (node.input_size() < 2 || node.output_size() < 1) {
    throw IndexError("can_fuse: Conv '" + node.name() + "' lacks its data, weight or output");
  }
  auto shape_of = [&](const std::string& name) {
    if (!known_shape(g, name)) {
      throw ValueError("can_fuse: the shape of '" + name + "' is unknown");
    }
  };
  shape_of(node.input(0));
  shape_of(node.input(1));
  shape_of(node.output(0));
  const AttrValue value = g.get_attr(node, "group");
  const auto* group = std::get_if<int64_t>(&value);
  if (group && *group == 1) return "Conv";
  const int64_t n = group ? *group : -1;
  if (dim_of(g, node.input(0), 1) == n && dim_of(g, node.output(0), 1) == n &&
      dim_of(g, node.input(1), 0) == n) {
    return "DwConv";
  }
  return "GroupConv";
}

bool off_npu(const RecordMap& targets, const std::string& name) {
  if (!targets.contains(name)) return false;
  const auto where = targets.text(name);
  return where && (*where == "cpu" || *where == "gpu");
}

}  // namespace

const std::vector<std::string> npu_targets{"mini", "c1", "d5", "d6", "e7", "e8k1", "g9"};

const std::vector<FuseRule> compiler_fuse_tab{
    rule("conv_relu", "Conv", "Relu"),
    rule("conv_clip", "Conv", "Clip"),
    rule("conv_prelu", "Conv", "PRelu"),
    rule("conv_leakyrelu", "Conv", "LeakyRelu"),
    rule("conv_add", "Conv", "Add"),
    rule("conv_elu", "Conv", "Elu"),
    rule("conv_selu", "Conv", "Selu"),
    rule("conv_exswish", "Conv", "exSwish"),
    rule("conv_exhardswish", "Conv", "exHardSwish"),
    rule("conv_hardswish", "Conv", "HardSwish"),
    rule("conv_sigmoid", "Conv", "Sigmoid"),
    rule("conv_softplus", "Conv", "Softplus"),
    rule("conv_tanh", "Conv", "Tanh"),
    rule("conv_exgelu", "Conv", "exGelu"),
    rule("conv_exmish", "Conv", "exMish"),
    rule("dwconv_relu", "DwConv", "Relu"),
    rule("dwconv_clip", "DwConv", "Clip"),
    rule("dwconv_prelu", "DwConv", "PRelu"),
    rule("dwconv_add", "DwConv", "Add", {"d5", "d6", "e7", "e8k1", "g9"}),
    rule("dwconv_elu", "DwConv", "Elu"),
    rule("add_relu", "Add", "Relu"),
    rule("mul_relu", "Mul", "Relu"),
    rule("bn_relu", "BatchNormalization", "Relu"),
};

bool IRGraph::can_fuse(const onnx::NodeProto& node, const onnx::NodeProto& node2, bool relu,
                       const RecordMap* quant_tab) const {
  const std::string kind = conv_op_type(*this, node);
  const std::string consumer = node2.op_type();
  bool admitted =
      std::any_of(compiler_fuse_tab.begin(), compiler_fuse_tab.end(), [&](const FuseRule& r) {
        return r.producer == kind && r.consumer == consumer &&
               std::find(r.targets.begin(), r.targets.end(), npu_target) != r.targets.end();
      });
  // Rectifiers follow almost anything, but never an extended operator.
  if (!admitted && relu && node.op_type().rfind("ex", 0) != 0 &&
      (consumer == "Relu" || consumer == "Clip")) {
    admitted = true;
  }
  if (!admitted) return false;

  // Names copied before the host's containers are asked: their code may
  // change the model.
  const std::string read = node2.input_size() > 0 ? node2.input(0) : std::string();
  const std::string out = node.output_size() > 0 ? node.output(0) : std::string();
  const std::string out2 = node2.output_size() > 0 ? node2.output(0) : std::string();
  if (quant_tab && !quant_tab->empty() && quant_tab->record_has(read, "fake_convert")) return false;
  const auto* targets = dynamic_cast<const RecordMap*>(op_target.get());
  if (targets && !targets->empty() && (off_npu(*targets, out) || off_npu(*targets, out2))) {
    return false;
  }
  return true;
}

}  // namespace tarq
