// The default attribute table. Each flat/versioned/shared call in
// build_table() is one operator type, in the order of definition: a flat
// entry holds whatever the model's opset; a versioned entry lists its
// versions oldest first, each holding from that opset on. Defaults are kept
// as the kinds get_attr hands out: integers as int64_t, floating values as
// double, strings as std::string, lists as vectors.
#include <initializer_list>
#include <memory>
#include <utility>

#include "tarq/api/ir_graph/attr_defaults.h"

namespace tarq {

namespace {

using Defaults = std::initializer_list<std::pair<const char*, AttrValue>>;
using Versions = std::initializer_list<std::pair<int64_t, Defaults>>;
using Ints = std::vector<int64_t>;
using Strs = std::vector<std::string>;

AttrValue i64(int64_t v) { return v; }
AttrValue f64(double v) { return v; }
AttrValue text(const char* v) { return std::string(v); }
// No fixed default: get_attr derives it from the node's tensors.
constexpr std::monostate kNone{};
// The epsilon of the ex... normalisations: float32(1e-5) widened to double,
// 9.999999747378752e-6, not the double nearest 1e-5 that the ONNX types use.
constexpr double kFloat32Eps = static_cast<double>(1e-5f);

// ConstantOfShape's value: a read-only FLOAT scalar holding 0.0.
AttrValue float_zero_scalar() {
  NdArray a(kFloat, {});
  a.set_readonly(true);
  return a;
}

AttrDefaults defaults_of(Defaults d) {
  AttrDefaults out;
  for (const auto& [name, value] : d) out.emplace(name, value);
  return out;
}

DefaultEntryPtr flat_entry(Defaults d) {
  auto e = std::make_shared<DefaultEntry>();
  e->flat = defaults_of(d);
  return e;
}

// Versions oldest first.
DefaultEntryPtr versioned_entry(Versions vs) {
  auto e = std::make_shared<DefaultEntry>();
  for (const auto& [since, d] : vs) e->versions.emplace_back(since, defaults_of(d));
  return e;
}

struct TableBuilder {
  DefaultTable table;

  void flat(const char* op, Defaults d) { table.emplace(op, flat_entry(d)); }
  void versioned(const char* op, Versions vs) { table.emplace(op, versioned_entry(vs)); }
  // An entry that other types use as well: the very same object.
  void shared(const char* op, const DefaultEntryPtr& e) { table.emplace(op, e); }
};

DefaultTable build_table() {
  TableBuilder t;
  t.flat("ArgMax", {{"axis", i64(0)}, {"keepdims", i64(1)}, {"select_last_index", i64(0)}});
  t.flat("ArgMin", {{"axis", i64(0)}, {"keepdims", i64(1)}, {"select_last_index", i64(0)}});
  t.versioned("AveragePool", {{11,
                               {{"auto_pad", text("NOTSET")},
                                {"ceil_mode", i64(0)},
                                {"count_include_pad", i64(0)},
                                {"pads", Ints{0, 0}},
                                {"strides", Ints{1}}}},
                              {19,
                               {{"auto_pad", text("NOTSET")},
                                {"ceil_mode", i64(0)},
                                {"count_include_pad", i64(0)},
                                {"pads", Ints{0, 0}},
                                {"strides", Ints{1}},
                                {"dilations", Ints{1}}}}});
  t.versioned(
      "BatchNormalization",
      {{9, {{"epsilon", f64(1.0e-5)}, {"momentum", f64(0.9)}}},
       {14, {{"epsilon", f64(1.0e-5)}, {"momentum", f64(0.9)}, {"training_mode", i64(0)}}}});
  t.versioned("Cast", {{19, {{"saturate", i64(1)}}}});
  t.versioned("CastLike", {{19, {{"saturate", i64(1)}}}});
  t.flat("Celu", {{"alpha", f64(1.0)}});
  t.flat("ConcatFromSequence", {{"new_axis", i64(0)}});
  t.flat("ConstantOfShape", {{"value", float_zero_scalar()}});
  t.flat("Conv", {{"auto_pad", text("NOTSET")},
                  {"dilations", Ints{1}},
                  {"group", i64(1)},
                  {"pads", Ints{0, 0}},
                  {"strides", Ints{1}},
                  {"kernel_shape", kNone}});
  t.flat("exConvStreaming", {{"dilations", Ints{1}},
                             {"group", i64(1)},
                             {"pads", Ints{0, 0}},
                             {"strides", Ints{1}},
                             {"kernel_shape", kNone}});
  t.flat("ConvInteger", {{"auto_pad", text("NOTSET")},
                         {"dilations", Ints{1}},
                         {"group", i64(1)},
                         {"pads", Ints{0, 0}},
                         {"strides", Ints{1}},
                         {"kernel_shape", kNone}});
  t.flat("ConvTranspose", {{"auto_pad", text("NOTSET")},
                           {"dilations", Ints{1}},
                           {"group", i64(1)},
                           {"pads", Ints{0, 0}},
                           {"strides", Ints{1}},
                           {"output_padding", Ints{0}},
                           {"kernel_shape", kNone}});
  t.flat("exConvTransposePad", {{"auto_pad", text("NOTSET")},
                                {"dilations", Ints{1}},
                                {"group", i64(1)},
                                {"pads", Ints{0, 0}},
                                {"strides", Ints{1}},
                                {"kernel_shape", kNone}});
  t.flat("CumSum", {{"exclusive", i64(0)}, {"reverse", i64(0)}});
  t.flat("DeformConv", {{"dilations", Ints{1}}, {"group", i64(1)}, {"offset_group", i64(1)}});
  t.flat("DepthToSpace", {{"mode", text("DCR")}});
  t.flat("Elu", {{"alpha", f64(1.0)}});
  t.flat("exIRfftn", {{"dim", Ints{}}, {"norm", text("ortho")}});
  t.flat("exLayerNorm",
         {{"elementwise_affine", i64(1)}, {"eps", f64(kFloat32Eps)}, {"normalized_shape", Ints{}}});
  t.flat("exMeanVarianceNormalization",
         {{"elementwise_affine", i64(0)}, {"eps", f64(kFloat32Eps)}});
  t.flat("exRMSNorm", {{"eps", f64(kFloat32Eps)}});
  t.flat("exNorm", {{"eps", f64(kFloat32Eps)}, {"axes", Ints{1}}});
  t.flat("exRfftn", {{"s", Ints{}}, {"dim", Ints{}}, {"norm", text("ortho")}});
  t.flat("EyeLike", {{"k", i64(0)}});
  t.flat("Flatten", {{"axis", i64(1)}});
  t.flat("Gather", {{"axis", i64(0)}});
  t.flat("GatherElements", {{"axis", i64(0)}});
  t.flat("GatherND", {{"batch_dims", i64(0)}});
  t.flat("Gemm", {{"alpha", f64(1.0)}, {"beta", f64(1.0)}, {"transA", i64(0)}, {"transB", i64(0)}});
  t.flat("GlobalLpPool", {{"p", i64(2)}});
  t.versioned(
      "GRU",
      {{7, {{"direction", text("forward")}, {"linear_before_reset", i64(0)}}},
       {14,
        {{"direction", text("forward")}, {"linear_before_reset", i64(0)}, {"layout", i64(0)}}}});
  t.flat("exGRU", {{"direction", text("forward")}, {"linear_before_reset", i64(0)}});
  t.flat("exGlu", {{"axis", i64(0)}});
  t.flat("exSDPAttention", {{"scale", f64(1.0)}});
  t.versioned("Hardmax", {{11, {{"axis", i64(1)}}}, {13, {{"axis", i64(-1)}}}});
  t.flat("HardSigmoid", {{"alpha", f64(0.2)}, {"beta", f64(0.5)}});
  t.flat("InstanceNormalization", {{"epsilon", f64(1.0e-5)}});
  t.flat("IsInf", {{"detect_negative", i64(1)}, {"detect_positive", i64(1)}});
  t.flat("LeakyRelu", {{"alpha", f64(0.01)}});
  t.versioned("LogSoftmax", {{11, {{"axis", i64(1)}}}, {13, {{"axis", i64(-1)}}}});
  t.flat("LpNormalization", {{"axis", i64(-1)}, {"p", i64(2)}});
  t.versioned(
      "LpPool",
      {{11,
        {{"auto_pad", text("NOTSET")}, {"p", i64(2)}, {"pads", Ints{0, 0}}, {"strides", Ints{1}}}},
       {18,
        {{"auto_pad", text("NOTSET")},
         {"p", i64(2)},
         {"pads", Ints{0, 0}},
         {"strides", Ints{1}},
         {"ceil_mode", i64(0)},
         {"dilations", Ints{1}}}}});
  t.flat("LRN", {{"alpha", f64(0.0001)}, {"beta", f64(0.75)}, {"bias", f64(1.0)}});
  t.versioned(
      "LSTM",
      {{7, {{"direction", text("forward")}, {"input_forget", i64(0)}}},
       {14, {{"direction", text("forward")}, {"input_forget", i64(0)}, {"layout", i64(0)}}}});
  t.flat("exLSTM", {{"direction", text("forward")},
                    {"input_forget", i64(0)},
                    {"input_layout", text("snc")},
                    {"output_layout", text("sbnc")},
                    {"has_projections", i64(0)},
                    {"proj_size", i64(0)}});
  t.flat("MaxPool", {{"auto_pad", text("NOTSET")},
                     {"ceil_mode", i64(0)},
                     {"dilations", Ints{1}},
                     {"pads", Ints{0, 0}},
                     {"storage_order", i64(0)},
                     {"strides", Ints{1}}});
  t.flat("MaxRoiPool", {{"spatial_scale", f64(1.0)}});
  t.flat("MaxUnpool", {{"pads", Ints{0, 0}}, {"strides", Ints{1}}});
  t.flat("exMatMul", {{"c_type", text("add")}});
  t.flat("MeanVarianceNormalization", {{"axes", Ints{0, 2, 3}}});
  t.flat("Mod", {{"fmod", i64(0)}});
  t.flat("Multinomial", {{"dtype", i64(6)}, {"sample_size", i64(1)}});
  t.flat("NegativeLogLikelihoodLoss", {{"reduction", text("mean")}});
  t.flat("NonMaxSuppression", {{"center_point_box", i64(0)}});
  t.flat("OneHot", {{"axis", i64(-1)}});
  t.versioned("Pad", {{11, {{"mode", text("constant")}}},
                      {18, {{"mode", text("constant")}, {"axes", Ints{}}}}});
  t.flat("QLinearConv", {{"auto_pad", text("NOTSET")},
                         {"dilations", Ints{1}},
                         {"group", i64(1)},
                         {"pads", Ints{0, 0}},
                         {"strides", Ints{1}},
                         {"kernel_shape", kNone}});
  t.versioned("QuantizeLinear", {{19, {{"saturate", i64(1)}}}});
  t.flat("RandomNormal", {{"dtype", i64(1)}, {"mean", f64(0.0)}, {"scale", f64(1.0)}});
  t.flat("RandomNormalLike", {{"mean", f64(0.0)}, {"scale", f64(1.0)}});
  t.flat("RandomUniform", {{"dtype", i64(1)}, {"high", f64(1.0)}, {"low", f64(0.0)}});
  t.flat("RandomUniformLike", {{"high", f64(1.0)}, {"low", f64(0.0)}});
  t.shared("ReduceL1", reduce_attr());
  t.shared("ReduceL2", reduce_attr());
  t.shared("ReduceLogSum", reduce_attr());
  t.shared("ReduceLogSumExp", reduce_attr());
  t.shared("ReduceMax", reduce_attr());
  t.shared("ReduceMean", reduce_attr());
  t.shared("ReduceMin", reduce_attr());
  t.shared("ReduceProd", reduce_attr());
  t.shared("ReduceSumSquare", reduce_attr());
  t.versioned("ReduceSum", {{11, {{"axes", Ints{}}, {"keepdims", i64(1)}}},
                            {13, {{"keepdims", i64(1)}, {"noop_with_empty_axes", i64(0)}}}});
  t.versioned("Reshape", {{19, {{"allowzero", i64(0)}}}});
  t.flat("Upsample", {{"mode", text("nearest")}});
  t.flat("Resize", {{"coordinate_transformation_mode", text("half_pixel")},
                    {"cubic_coeff_a", f64(-0.75)},
                    {"exclude_outside", i64(0)},
                    {"extrapolation_value", i64(0)},
                    {"mode", text("nearest")},
                    {"nearest_mode", text("round_prefer_floor")}});
  t.flat("ReverseSequence", {{"batch_axis", i64(1)}, {"time_axis", i64(0)}});
  t.versioned("RNN", {{7, {{"activations", Strs{"Tanh", "Tanh"}}, {"direction", text("forward")}}},
                      {14,
                       {{"activations", Strs{"Tanh", "Tanh"}},
                        {"direction", text("forward")},
                        {"layout", i64(0)}}}});
  t.versioned("RoiAlign", {{10,
                            {{"mode", text("avg")},
                             {"output_height", i64(1)},
                             {"output_width", i64(1)},
                             {"sampling_ratio", i64(0)},
                             {"spatial_scale", f64(1.0)}}},
                           {16,
                            {{"mode", text("avg")},
                             {"output_height", i64(1)},
                             {"output_width", i64(1)},
                             {"sampling_ratio", i64(0)},
                             {"spatial_scale", f64(1.0)},
                             {"coordinate_transformation_mode", text("half_pixel")}}}});
  t.flat("ScatterElements", {{"axis", i64(0)}});
  t.flat("ScatterND", {{"reduction", text("none")}});
  t.flat("Selu", {{"alpha", f64(1.67326)}, {"gamma", f64(1.0507)}});
  t.versioned("Shape", {{15, {{"start", i64(0)}}}});
  t.flat("Shrink", {{"bias", f64(0.0)}, {"lambd", f64(0.5)}});
  t.versioned("Softmax", {{11, {{"axis", i64(1)}}}, {13, {{"axis", i64(-1)}}}});
  t.flat("exSoftmax13", {{"axis", i64(-1)}});
  t.flat("SoftmaxCrossEntropyLoss", {{"reduction", text("mean")}});
  t.versioned("Split", {{11, {{"axis", i64(0)}, {"split", Ints{}}}},
                        {13, {{"axis", i64(0)}}},
                        {18, {{"axis", i64(0)}}}});
  t.flat("SplitToSequence", {{"axis", i64(0)}, {"keepdims", i64(1)}});
  t.flat("StringNormalizer", {{"case_change_action", text("NONE")}, {"is_case_sensitive", i64(0)}});
  t.flat("exSwish", {{"beta", f64(1.0)}, {"gamma", i64(0)}});
  t.flat("ThresholdedRelu", {{"alpha", f64(1.0)}});
  t.flat("TopK", {{"axis", i64(-1)}, {"largest", i64(1)}, {"sorted", i64(1)}});
  t.flat("Transpose", {{"perm", Ints{}}});
  t.versioned("Trilu", {{14, {{"upper", i64(1)}}}});
  t.flat("Unique", {{"sorted", i64(1)}});
  return std::move(t.table);
}

}  // namespace

const DefaultEntryPtr& reduce_attr() {
  static const DefaultEntryPtr entry =
      versioned_entry({{11, {{"axes", Ints{}}, {"keepdims", i64(1)}}},
                       {18, {{"keepdims", i64(1)}, {"noop_with_empty_axes", i64(0)}}}});
  return entry;
}

const DefaultTable& def_attr() {
  static const DefaultTable table = build_table();
  return table;
}

}  // namespace tarq
