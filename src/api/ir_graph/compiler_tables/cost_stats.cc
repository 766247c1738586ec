// Cost figures for reports: parameter size, multiply-accumulate count and
// the operator mix. They only read the model.
#include <onnx/onnx_pb.h>

#include <map>
#include <unordered_map>

#include "known_shape.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

using Dims = std::vector<int64_t>;

double prod(const Dims& dims) {
  double p = 1;
  for (int64_t d : dims) p *= static_cast<double>(d);
  return p;
}

// The fixed shape of a tensor a counter needs; one of unknown shape is
// refused (counting it as one element would be wrong).
Dims fixed_shape(const IRGraph& g, const std::string& name) {
  const auto shape = known_shape(g, name);
  if (!shape) {
    throw ValueError("calc_params_tflops: the shape of '" + name + "' is unknown");
  }
  Dims dims;
  for (const auto& d : *shape) {
    const auto* v = std::get_if<int64_t>(&d);
    if (!v) {
      throw ValueError("calc_params_tflops: the shape of '" + name +
                       "' has a dimension that is not fixed");
    }
    dims.push_back(*v);
  }
  return dims;
}

int64_t int_attr(const IRGraph& g, const onnx::NodeProto& node, const char* name) {
  const AttrValue v = g.get_attr(node, name);
  if (const auto* i = std::get_if<int64_t>(&v)) return *i;
  throw ValueError("calc_params_tflops: " + node.op_type() + " '" + node.name() + "' has no " +
                   name);
}

using Counter = double (*)(const IRGraph&, const onnx::NodeProto&, const Dims&, const Dims&);

double conv_macs(const IRGraph& g, const onnx::NodeProto& node, const Dims& in, const Dims& out) {
  const AttrValue k = g.get_attr(node, "kernel_shape");
  const auto* kernel = std::get_if<std::vector<int64_t>>(&k);
  if (!kernel) {
    throw ValueError("calc_params_tflops: " + node.op_type() + " '" + node.name() +
                     "' has no kernel_shape");
  }
  const double kernel_ops = prod(*kernel);
  const int64_t bias_ops = node.input_size() == 3 ? 1 : 0;
  const int64_t group = int_attr(g, node, "group");
  if (in.size() < 2) {
    throw IndexError("calc_params_tflops: the input of " + node.op_type() + " '" + node.name() +
                     "' has rank " + std::to_string(in.size()));
  }
  if (group == 0) throw ValueError("calc_params_tflops: group 0 in '" + node.name() + "'");
  // Floor division, as the channel count per group is counted.
  int64_t per_group = in[1] / group;
  if ((in[1] % group != 0) && ((in[1] < 0) != (group < 0))) --per_group;
  return prod(out) * (static_cast<double>(per_group) * kernel_ops + static_cast<double>(bias_ops));
}

double gemm_macs(const IRGraph& g, const onnx::NodeProto& node, const Dims& in, const Dims&) {
  if (node.input_size() < 2)
    throw IndexError("calc_params_tflops: '" + node.name() + "' has one input");
  return prod(in) * prod(fixed_shape(g, node.input(1)));
}

double bn_macs(const IRGraph&, const onnx::NodeProto& node, const Dims&, const Dims& out) {
  return node.input_size() == 5 ? 2 * prod(out) : prod(out);
}

double relu_macs(const IRGraph&, const onnx::NodeProto&, const Dims& in, const Dims&) {
  return prod(in);
}

const std::unordered_map<std::string, Counter>& mac_calculators() {
  static const std::unordered_map<std::string, Counter> table{
      {"Conv", conv_macs},   {"ConvTranspose", conv_macs}, {"Gemm", gemm_macs},
      {"MatMul", gemm_macs}, {"exMatMul", gemm_macs},      {"BatchNormalization", bn_macs},
      {"Relu", relu_macs},   {"Add", relu_macs},
  };
  return table;
}

}  // namespace

double IRGraph::node_macs(const onnx::NodeProto& node) const {
  auto it = mac_calculators().find(node.op_type());
  if (it == mac_calculators().end()) return 0;
  if (node.input_size() == 0 || node.output_size() == 0) {
    throw IndexError("calc_params_tflops: " + node.op_type() + " '" + node.name() +
                     "' has no input or output");
  }
  return it->second(*this, node, fixed_shape(*this, node.input(0)),
                    fixed_shape(*this, node.output(0)));
}

double IRGraph::calc_params_mib() const {
  double params = 0;
  for (const auto& t : model_->graph().initializer()) {
    params += prod(Dims(t.dims().begin(), t.dims().end()));
  }
  return params * 4 / 1024 / 1024;
}

std::pair<double, double> IRGraph::calc_params_tflops() const {
  const double mib = calc_params_mib();
  double macs = 0;
  for (const auto& node : model_->graph().node()) macs += node_macs(node);
  return {mib, macs * 2 / 1e12};
}

std::vector<std::pair<std::string, int64_t>> IRGraph::calc_node_freq() const {
  std::map<std::string, int64_t> freq;
  for (const auto& node : model_->graph().node()) ++freq[node.op_type()];
  return {freq.begin(), freq.end()};
}

}  // namespace tarq
