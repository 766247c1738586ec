// Attributes, constants and shapes from a C++ host: native containers, no
// Python. verify() after every write proves the tables still match the model.
#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>

#include <cstring>
#include <limits>

#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace {

using tarq::AttrValue;
using tarq::IRGraph;
using tarq::NdArray;

onnx::NodeProto& node_named(IRGraph& g, const std::string& name) {
  return *g.model().mutable_graph()->mutable_node(static_cast<int>(g.nodes().at(name)));
}

template <class T>
T scalar_of(const IRGraph::ConstRead& r) {
  const auto& a = std::get<NdArray>(r);
  T v;
  std::memcpy(&v, a.data(), sizeof(T));
  return v;
}

TEST(TensorData, AttributesWithDefaultsAndChangeRecords) {
  IRGraph g(tarq::load_model(TARQ_SOURCE_DIR "/examples/small_cnn.onnx"));
  auto& conv = node_named(g, "block1/Conv");
  EXPECT_EQ(std::get<std::vector<int64_t>>(g.get_attr(conv, "pads")),
            (std::vector<int64_t>{1, 1, 1, 1}));
  EXPECT_EQ(std::get<std::string>(g.get_attr(conv, "auto_pad")), "NOTSET");
  EXPECT_TRUE(std::holds_alternative<std::monostate>(g.get_attr(conv, "auto_pad", false)));
  EXPECT_THROW(g.get_attr(node_named(g, "block1/Relu"), "alpha"), tarq::KeyError);

  auto changes = std::make_shared<tarq::NativeNodeChanges>();
  g.nodes_chg = changes;
  auto& conv3 = node_named(g, "block3/Conv");
  g.set_attr(conv3, "group", AttrValue{int64_t{1}});
  g.set_attr(conv3, "dilations", AttrValue{std::vector<int64_t>{}});  // removes
  ASSERT_EQ(changes->changes().size(), 1u);
  const auto& change = changes->changes().at("block3/Conv");
  EXPECT_EQ(change.node, &conv3);
  EXPECT_EQ(change.before->attribute_size(), conv3.attribute_size() + 1);
  EXPECT_EQ(conv3.attribute(conv3.attribute_size() - 1).name(), "group");
  // The removed dilations read as the default [1, 1], block1's explicit value.
  auto& conv1 = node_named(g, "block1/Conv");
  EXPECT_TRUE(g.same_attr(conv3, conv1));
  g.set_attr(conv3, "group", AttrValue{int64_t{2}});
  EXPECT_FALSE(g.same_attr(conv3, conv1));
  EXPECT_EQ(changes->changes().size(), 1u);
  g.verify();
}

TEST(TensorData, ConstantsShapesAndTheWeightCache) {
  auto cache = std::make_shared<tarq::NativeArrayMap>();
  tarq::IRGraphOptions o;
  o.initializer_dat = cache;
  IRGraph g(tarq::load_model(TARQ_SOURCE_DIR "/examples/small_cnn.onnx"), o);
  const std::string w = "block1.conv.weight";
  ASSERT_TRUE(cache->contains(w));  // convolution weights move to the cache
  auto read = g.get_const(w);
  EXPECT_TRUE(std::get<NdArray>(read).readonly());
  EXPECT_FALSE(std::get<NdArray>(g.get_const(w, true, false)).readonly());

  // Reshape through -1: dims, cache entry and byte count follow.
  const int64_t bytes = g.n_bytes;
  ASSERT_TRUE(g.set_shape(w, {int64_t{8}, int64_t{-1}}));
  EXPECT_EQ(g.get_shape(w), (tarq::Shape{int64_t{8}, int64_t{27}}));
  EXPECT_EQ(cache->get(w).shape(), (tarq::Extents{8, 27}));
  EXPECT_EQ(g.get_size(w), 216);
  EXPECT_EQ(g.n_bytes, bytes);
  g.verify();

  // A new 2 MiB constant goes to the cache as a data-less placeholder.
  NdArray big(tarq::kFloat, {512, 1024});
  g.set_const("big", big);
  const auto& placeholder = g.model().graph().initializer(static_cast<int>(g.consts().at("big")));
  EXPECT_TRUE(placeholder.raw_data().empty());
  EXPECT_EQ(placeholder.dims_size(), 2);
  EXPECT_TRUE(cache->get("big").readonly());
  EXPECT_EQ(g.n_bytes, bytes + 512 * 1024 * 4);
  g.verify();

  // A small one stays in the model.
  NdArray small(tarq::kInt64, {3});
  g.set_const("small", small);
  EXPECT_FALSE(cache->contains("small"));
  EXPECT_EQ(g.get_dtype("small"), tarq::kInt64);
  g.verify();

  // While a configuration is selected, writes are recorded for it only.
  g.n_dynamic = 2;
  g.dynamic_idx = 1;
  NdArray other(tarq::kInt64, {5});
  g.set_const("small", other);
  EXPECT_EQ(std::get<NdArray>(g.get_const("small")).shape(), (tarq::Extents{5}));
  g.dynamic_idx.reset();
  EXPECT_EQ(std::get<NdArray>(g.get_const("small")).shape(), (tarq::Extents{3}));
  g.verify();
}

TEST(TensorData, OptionalInputDefaultsAndPrecision) {
  onnx::ModelProto m;
  m.set_ir_version(8);
  m.add_opset_import()->set_version(17);
  auto* graph = m.mutable_graph();
  graph->set_name("clip");
  auto add_vi = [](onnx::ValueInfoProto* vi, const std::string& name, int type) {
    vi->set_name(name);
    vi->mutable_type()->mutable_tensor_type()->set_elem_type(type);
    vi->mutable_type()->mutable_tensor_type()->mutable_shape()->add_dim()->set_dim_value(4);
  };
  add_vi(graph->add_input(), "x", onnx::TensorProto::DOUBLE);
  add_vi(graph->add_output(), "y", onnx::TensorProto::DOUBLE);
  auto* clip = graph->add_node();
  clip->set_op_type("Clip");
  clip->set_name("clip");
  clip->add_input("x");
  clip->add_output("c");
  auto* mul = graph->add_node();
  mul->set_op_type("Mul");
  mul->set_name("mul");
  mul->add_input("c");
  mul->add_input("scale");
  mul->add_output("y");
  auto* init = graph->add_initializer();
  init->set_name("scale");
  init->set_data_type(onnx::TensorProto::DOUBLE);
  init->add_dims(4);
  for (double v : {0.5, -1.25, 2.0, 3.0}) init->add_double_data(v);

  IRGraph g(m);
  auto& node = node_named(g, "clip");
  EXPECT_EQ(scalar_of<double>(g.get_const_optional(node, 1)),
            std::numeric_limits<double>::lowest());
  EXPECT_EQ(scalar_of<double>(g.get_const_optional(node, 2)), std::numeric_limits<double>::max());
  EXPECT_TRUE(std::holds_alternative<std::monostate>(g.get_const_optional(node, 3)));

  g.convert_to_fp32();
  EXPECT_EQ(g.get_dtype("x"), tarq::kFloat);
  EXPECT_EQ(g.get_dtype("scale"), tarq::kFloat);
  const auto scale = std::get<NdArray>(g.get_const("scale"));
  EXPECT_EQ(scale.elem_type(), tarq::kFloat);
  EXPECT_EQ(scale.data_as<float>()[1], -1.25f);
  g.verify();
}

}  // namespace
