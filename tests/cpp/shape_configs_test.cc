// Shape configurations and batch expansion from a C++ host, with the native
// containers: what a host without Python records, commits and reads back.
#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>

#include <cmath>

#include "tarq/api/ir_graph/host_containers.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace {

using tarq::IRGraph;
using tarq::NdArray;
using tarq::Shape;

const char* const kExample = TARQ_SOURCE_DIR "/examples/small_cnn.onnx";

NdArray filled(float v, int64_t n = 8) {
  NdArray a(tarq::kFloat, {n});
  for (int64_t i = 0; i < n; ++i) a.mutable_data_as<float>()[i] = v;
  return a;
}

float first(const IRGraph::ConstRead& r) { return std::get<NdArray>(r).data_as<float>()[0]; }

TEST(ShapeConfigs, SelectionRecordsAndTheCommitSplitsEqualFromDiffering) {
  IRGraph g(tarq::load_model(kExample));
  auto table = std::make_shared<tarq::NativeShapesMap>();
  table->set("input", {Shape{int64_t{1}, int64_t{3}, int64_t{32}, int64_t{32}},
                       Shape{int64_t{1}, int64_t{3}, int64_t{64}, int64_t{64}}});
  g.update_dynamic_shapes(table);
  ASSERT_EQ(g.dynamic_shapes, table);
  ASSERT_EQ(g.n_dynamic, 2);

  const std::string bias = "block1.conv.bias", scale = "block1.bn.weight",
                    mean = "block1.bn.running_mean";
  const float b0 = first(g.get_const(bias));
  for (int i = 0; i < 2; ++i) {
    g.set_dynamic_idx(i);
    g.set_const(bias, filled(b0 + i));
    g.set_const(scale, filled(2.0f));
    NdArray nan = filled(0.0f);
    nan.mutable_data_as<float>()[3] = std::nanf("");
    g.set_const(mean, nan);  // NaN never equals itself: stays per configuration
  }
  EXPECT_EQ(first(g.get_const(bias)), b0 + 1);  // the selected configuration's value

  // No dynamic_diff yet: the commit makes a native one.
  g.set_dynamic_idx(std::nullopt, true);
  ASSERT_TRUE(g.dynamic_diff);
  auto* diff = dynamic_cast<tarq::NativeConfigTable<NdArray>*>(g.dynamic_diff.get());
  ASSERT_NE(diff, nullptr);
  EXPECT_EQ(diff->keys(), (std::vector<std::string>{bias, mean}));
  EXPECT_EQ(diff->list(bias)->at(1)->data_as<float>()[0], b0 + 1);
  EXPECT_EQ(first(g.get_const(bias)), b0);  // the model takes configuration 0
  EXPECT_EQ(first(g.get_const(scale)), 2.0f);
  EXPECT_TRUE(g.dynamic_diff_set->empty() && g.dynamic_shapes_set->empty() &&
              g.dynamic_dtypes_set->empty());
  g.verify();
}

TEST(ShapeConfigs, DerivationLeavesTheModelAndAFailureLeavesTheTable) {
  IRGraph g(tarq::load_model(kExample));
  const std::string before = g.model().SerializeAsString();
  auto table = std::make_shared<tarq::NativeShapesMap>();
  table->set("input", {Shape{int64_t{1}, int64_t{3}, int64_t{32}, int64_t{32}},
                       Shape{int64_t{2}, int64_t{3}, int64_t{48}, int64_t{64}}});
  g.update_dynamic_shapes(table);
  g.update_dynamic_shapes();
  EXPECT_EQ(g.model().SerializeAsString(), before);
  EXPECT_EQ(g.dynamic_shapes->get("probabilities"),
            (std::vector<Shape>{Shape{int64_t{1}, int64_t{10}}, Shape{int64_t{2}, int64_t{10}}}));
  EXPECT_EQ(g.dynamic_shapes->get("input"), table->get("input"));

  auto missing = std::make_shared<tarq::NativeShapesMap>();
  missing->set("not an input", {Shape{int64_t{1}}, Shape{int64_t{2}}});
  g.dynamic_shapes = missing;
  EXPECT_THROW(g.update_dynamic_shapes(), tarq::KeyError);
  EXPECT_EQ(g.dynamic_shapes, missing);
}

TEST(ExpandBatch, ARefusalKeepsTheModelAndASuccessRebuildsOnTheNewOne) {
  auto cache = std::make_shared<tarq::NativeArrayMap>();
  tarq::IRGraphOptions o;
  o.initializer_dat = cache;
  onnx::ModelProto three = *static_cast<onnx::ModelProto*>(&tarq::load_model(kExample)->root());
  auto* type = three.mutable_graph()->mutable_input(0)->mutable_type()->mutable_tensor_type();
  type->mutable_shape()->mutable_dim(0)->set_dim_value(3);  // a batch of 3 is refused
  IRGraph refused(three, o);
  const std::string before = refused.model().SerializeAsString();
  EXPECT_FALSE(refused.expand_batch(2));
  EXPECT_EQ(refused.model().SerializeAsString(), before);
  EXPECT_EQ(refused.expand_batch_size, 1);

  IRGraph g(tarq::load_model(kExample), o);
  const onnx::ModelProto* old = &g.model();
  ASSERT_TRUE(g.expand_batch(4));
  EXPECT_EQ(g.expand_batch_size, 4);
  EXPECT_NE(&g.model(), old);
  EXPECT_EQ(g.graph(), g.model().mutable_graph());
  EXPECT_EQ(g.model().graph().input(0).type().tensor_type().shape().dim(0).dim_value(), 4);
  EXPECT_EQ(g.get_shape("probabilities"), (Shape{int64_t{4}, int64_t{10}}));
  g.verify();
}

}  // namespace
