// verify() from a C++ host, host containers that misbehave in the middle of a
// rebuild, held reports and deeply nested models.
#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>

#include <string>
#include <vector>

#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/nesting.h"
#include "tarq/errors.h"

namespace {

void add_vi(onnx::ValueInfoProto* vi, const std::string& name) {
  vi->set_name(name);
  vi->mutable_type()->mutable_tensor_type()->set_elem_type(onnx::TensorProto::FLOAT);
  vi->mutable_type()->mutable_tensor_type()->mutable_shape()->add_dim()->set_dim_value(4);
}

// x -> MatMul(w) -> Relu -> y, with a weight the cache takes.
onnx::ModelProto matmul_relu() {
  onnx::ModelProto m;
  m.set_ir_version(8);
  m.add_opset_import()->set_version(17);
  auto* g = m.mutable_graph();
  g->set_name("matmul_relu");
  add_vi(g->add_input(), "x");
  add_vi(g->add_output(), "y");
  auto* w = g->add_initializer();
  w->set_name("w");
  w->set_data_type(onnx::TensorProto::FLOAT);
  w->add_dims(4);
  w->add_dims(4);
  for (int i = 0; i < 16; ++i) w->add_float_data(static_cast<float>(i));
  auto* mm = g->add_node();
  mm->set_op_type("MatMul");
  mm->set_name("mm");
  mm->add_input("x");
  mm->add_input("w");
  mm->add_output("h");
  auto* relu = g->add_node();
  relu->set_op_type("Relu");
  relu->set_name("relu");
  relu->add_input("h");
  relu->add_output("y");
  return m;
}

TEST(Verify, NamesTheStaleTable) {
  tarq::IRGraph g(matmul_relu());
  g.verify();
  g.model().mutable_graph()->mutable_node(1)->set_name("renamed");
  try {
    g.verify();
    FAIL() << "a renamed node went unnoticed";
  } catch (const tarq::VerifyError& e) {
    EXPECT_EQ(e.table, "nodes");
    EXPECT_EQ(e.key, "renamed");
    EXPECT_NE(std::string(e.what()).find("table 'nodes'"), std::string::npos);
  }
  g.rebuild();
  g.verify();
  // A replaced model: graph() still shows the old one until the rebuild.
  g.set_model(
      std::make_shared<tarq::MessageOwner>(std::make_unique<onnx::ModelProto>(matmul_relu())));
  EXPECT_THROW(g.verify(), tarq::VerifyError);
  EXPECT_EQ(g.graph()->node(1).name(), "renamed");
  g.rebuild();
  g.verify();
  EXPECT_EQ(g.graph()->node(1).name(), "relu");
}

// A weight cache as a host may write one: its methods can fail or meddle.
class Meddling : public tarq::NativeArrayMap {
 public:
  std::function<void()> on_contains, on_set;
  bool contains(const std::string& name) const override {
    if (on_contains) on_contains();
    return NativeArrayMap::contains(name);
  }
  void set(const std::string& name, tarq::NdArray value) override {
    if (on_set) on_set();
    NativeArrayMap::set(name, std::move(value));
  }
};

TEST(Verify, ARefusedWeightStaysInTheModel) {
  auto cache = std::make_shared<Meddling>();
  cache->on_set = [] { throw std::runtime_error("cache full"); };
  auto owner =
      std::make_shared<tarq::MessageOwner>(std::make_unique<onnx::ModelProto>(matmul_relu()));
  tarq::IRGraphOptions o;
  o.initializer_dat = cache;
  EXPECT_THROW(tarq::IRGraph(owner, o), std::runtime_error);
  const auto& w = owner->root_as<onnx::ModelProto>().graph().initializer(0);
  EXPECT_EQ(w.float_data_size() + static_cast<int>(w.raw_data().size()) / 4, 16);
  EXPECT_EQ(cache->size(), 0u);
}

TEST(Verify, ACacheThatReplacesTheModelFailsTheRebuild) {
  auto cache = std::make_shared<Meddling>();
  tarq::IRGraphOptions o;
  o.initializer_dat = cache;
  tarq::IRGraph g(matmul_relu(), o);
  g.verify();
  auto cache2 = std::make_shared<Meddling>();
  cache2->on_contains = [&] {
    g.set_model(
        std::make_shared<tarq::MessageOwner>(std::make_unique<onnx::ModelProto>(matmul_relu())));
  };
  g.initializer_dat = cache2;
  EXPECT_THROW(g.rebuild(), tarq::ValueError);
  cache2->on_contains = [&] { g.rebuild(); };  // a rebuild from inside is refused
  EXPECT_THROW(g.rebuild(), tarq::ValueError);
  cache2->on_contains = nullptr;
  g.rebuild();
  g.verify();
}

TEST(Verify, ReportsAreHeldUntilTheLastHoldGoes) {
  std::vector<std::string> seen;
  tarq::TarqLog::set_sink([&](tarq::LogLevel, const std::string& text) { seen.push_back(text); });
  {
    tarq::TarqLog::Hold outer;
    tarq::tarqLog::w("one");
    {
      tarq::TarqLog::Hold inner;
      tarq::tarqLog::e("two");
    }
    EXPECT_TRUE(seen.empty());
  }
  tarq::tarqLog::i("three");
  tarq::TarqLog::set_sink(nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three"}));
}

TEST(Verify, DeepNestingIsRefusedAndFreedWithoutRecursion) {
  // 8,000 If nodes, each holding the next in its branch.
  auto m = std::make_unique<onnx::ModelProto>(matmul_relu());
  onnx::GraphProto* g = m->mutable_graph();
  for (int i = 0; i < 8000; ++i) {
    auto* node = g->add_node();
    node->set_op_type("If");
    auto* attr = node->add_attribute();
    attr->set_name("then_branch");
    attr->set_type(onnx::AttributeProto::GRAPH);
    g = attr->mutable_g();
  }
  EXPECT_GT(tarq::nesting_depth(*m), tarq::kMaxNesting);
  EXPECT_LT(tarq::nesting_depth(matmul_relu()), 10);
  auto owner = std::make_shared<tarq::MessageOwner>(std::move(m));
  EXPECT_THROW(tarq::IRGraph(owner, {}), tarq::ValueError);
  owner.reset();  // frees 24,000 levels of messages
}

}  // namespace
