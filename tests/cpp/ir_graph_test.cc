// IRGraph from a C++ host: native containers, tables and queries.
#include "tarq/api/ir_graph/ir_graph.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>

#include <algorithm>

#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/errors.h"

namespace {

onnx::ModelProto chain(int n) {
  onnx::ModelProto m;
  m.set_ir_version(8);
  m.add_opset_import()->set_version(17);
  auto* g = m.mutable_graph();
  g->set_name("chain");
  auto add_vi = [](onnx::ValueInfoProto* vi, const std::string& name) {
    vi->set_name(name);
    vi->mutable_type()->mutable_tensor_type()->set_elem_type(onnx::TensorProto::FLOAT);
    vi->mutable_type()->mutable_tensor_type()->mutable_shape()->add_dim()->set_dim_value(4);
  };
  add_vi(g->add_input(), "t0");
  add_vi(g->add_output(), "t" + std::to_string(n));
  // Given in reverse order, so the sort has work to do.
  for (int i = n - 1; i >= 0; --i) {
    auto* node = g->add_node();
    node->set_op_type("Relu");
    node->set_name("n" + std::to_string(i));
    node->add_input("t" + std::to_string(i));
    node->add_output("t" + std::to_string(i + 1));
  }
  return m;
}

TEST(IRGraph, HostUseWithNativeContainers) {
  auto cache = std::make_shared<tarq::NativeArrayMap>();
  tarq::IRGraphOptions o;
  o.initializer_dat = cache;
  tarq::IRGraph g(chain(3), o);
  EXPECT_EQ(g.initializer_dat, cache);
  EXPECT_EQ(g.nodes().at("n0"), 2);
  EXPECT_EQ(g.next_nodes("t0").at(0)->name(), "n0");
  EXPECT_EQ(g.pre_nodes("t3").at(0)->name(), "n2");
  EXPECT_TRUE(g.weights_for_align && g.weights_for_align->size() == 0);

  tarq::RebuildOptions sort;
  sort.sort_nodes = true;
  g.rebuild(sort);
  EXPECT_EQ(g.model().graph().node(0).name(), "n0");
  EXPECT_EQ(g.nodes().at("n2"), 2);
  EXPECT_EQ(g.tensor_dependency_map().at("t3").size(), 3u);
}

TEST(IRGraph, DeepChainSortsWithoutRecursion) {
  // A weight cache keeps the model checker, which rejects unsorted nodes, off.
  tarq::IRGraphOptions o;
  o.initializer_dat = std::make_shared<tarq::NativeArrayMap>();
  tarq::IRGraph g(chain(100000), o);
  tarq::RebuildOptions sort;
  sort.sort_nodes = true;
  g.rebuild(sort);
  const auto& nodes = g.model().graph().node();
  for (int i = 0; i < nodes.size(); i += 9973)
    EXPECT_EQ(nodes.Get(i).name(), "n" + std::to_string(i));
  EXPECT_EQ(g.can_frees().size(), 100000u);
}

TEST(IRGraph, RejectsAModelWithoutOpset) {
  onnx::ModelProto m = chain(1);
  m.clear_opset_import();
  EXPECT_THROW(tarq::IRGraph g(m), tarq::ValueError);
  auto owner = std::make_shared<tarq::MessageOwner>(std::make_unique<onnx::GraphProto>());
  EXPECT_THROW(tarq::IRGraph g(owner), tarq::ValueError);
}

TEST(IRGraph, LogSinkSeesReports) {
  std::vector<std::string> seen;
  tarq::TarqLog::set_sink([&](tarq::LogLevel, const std::string& t) { seen.push_back(t); });
  onnx::ModelProto m = chain(1);
  m.mutable_graph()->add_value_info()->set_name("untyped");
  tarq::IRGraph g(m);
  tarq::TarqLog::set_sink(nullptr);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], "The type of 'untyped' is wrong! Try clean it!");
  EXPECT_EQ(g.model().graph().value_info_size(), 0);
}

int open_descriptors() {
  int n = 0;
  for (int fd = 0; fd < 4096; ++fd) n += fcntl(fd, F_GETFD) != -1;
  return n;
}

TEST(IRGraph, CleaningWithNativeContainers) {
  onnx::ModelProto m = chain(2);
  auto* unused = m.mutable_graph()->add_input();
  unused->CopyFrom(m.graph().input(0));
  unused->set_name("unused");
  auto shapes = std::make_shared<tarq::NativeShapesMap>();
  shapes->set("t0", {{int64_t{4}}});
  shapes->set("unused", {{int64_t{4}}});
  tarq::IRGraphOptions o;
  o.dynamic_shapes = shapes;
  o.initializer_dat = std::make_shared<tarq::NativeArrayMap>();
  int fds = open_descriptors();
  tarq::IRGraph g(m, o);
  EXPECT_EQ(open_descriptors(), fds);
  EXPECT_EQ(shapes->keys(), std::vector<std::string>{"t0"});
  EXPECT_EQ(g.model().graph().input_size(), 1);
  EXPECT_EQ(g.model().graph().value_info_size(), 1);  // t1, inferred
  g.initializer_dat = nullptr;                        // now the checker runs and rejects the order
  EXPECT_THROW(g.infer_shapes(g.model_owner()), tarq::ValidationError);
  EXPECT_EQ(open_descriptors(), fds);
}

}  // namespace

namespace {

TEST(IRGraph, RebuildsOfAnUnchangedModelParkNothing) {
  // Each rebuild cleans and shape-infers the model; when inference finds
  // nothing new, no message may be parked, or memory grows with every pass.
  auto model = std::make_unique<onnx::ModelProto>(chain(50));
  auto* nodes = model->mutable_graph()->mutable_node();
  std::reverse(nodes->pointer_begin(), nodes->pointer_end());  // into execution order
  auto owner = std::make_shared<tarq::MessageOwner>(std::move(model));
  tarq::IRGraph g(owner);
  size_t parked = owner->parked_count();
  const onnx::NodeProto* first = &g.model().graph().node(0);
  for (int i = 0; i < 3; ++i) g.rebuild();
  EXPECT_EQ(owner->parked_count(), parked);
  EXPECT_EQ(&g.model().graph().node(0), first) << "nodes stay the same objects";
  EXPECT_EQ(g.model().graph().value_info_size(), 49);
}

// Dims come from the model unchecked: an initializer whose dims multiply past
// 64 bits must still give a defined byte total (wrapping, as 64-bit host
// integers do; 2^40 * 2^40 wraps to 0) and must not count as a large weight.
// Before the products wrapped, this overflowed a signed integer, which the
// sanitized build reports.
TEST(IRGraph, InitializerDimsWhoseProductOverflows) {
  onnx::ModelProto m = chain(1);
  auto* g = m.mutable_graph();
  auto* huge = g->add_initializer();
  huge->set_name("huge");
  huge->set_data_type(onnx::TensorProto::FLOAT);
  huge->add_dims(int64_t{1} << 40);
  huge->add_dims(int64_t{1} << 40);
  auto* small = g->add_initializer();
  small->set_name("small");
  small->set_data_type(onnx::TensorProto::FLOAT);
  small->add_dims(3);
  for (float v : {1.f, 2.f, 3.f}) small->add_float_data(v);
  // A reader, so that the cleaning keeps both.
  auto* reader = g->add_node();
  reader->set_op_type("Sum");
  reader->set_name("reader");
  reader->add_input("huge");
  reader->add_input("small");
  reader->add_output("sum");

  // Without a weight cache the model check rejects such a model outright.
  EXPECT_THROW(tarq::IRGraph{onnx::ModelProto(m)}, tarq::ValidationError);

  // With a weight cache, the large-weight test reads the same product.
  auto cache = std::make_shared<tarq::NativeArrayMap>();
  tarq::IRGraphOptions o;
  o.initializer_dat = cache;
  tarq::IRGraph cached(onnx::ModelProto(m), o);
  EXPECT_EQ(cached.n_bytes, 12);
  tarq::RebuildOptions sort;
  sort.sort_nodes = true;
  cached.rebuild(sort);
  EXPECT_EQ(cached.n_bytes, 12);
  EXPECT_FALSE(cache->contains("huge"));
}

}  // namespace

// A dependency map kept across a model change reads the names it captured,
// but keeps neither the old model nor its Operand records alive.
TEST(IRGraph, DependencyMapOutlivesItsModelWithoutPinningIt) {
  auto ordered_chain = [](int n) {
    auto model = std::make_unique<onnx::ModelProto>(chain(n));
    auto* nodes = model->mutable_graph()->mutable_node();
    std::reverse(nodes->pointer_begin(), nodes->pointer_end());
    return std::make_shared<tarq::MessageOwner>(std::move(model));
  };
  auto owner = ordered_chain(20);
  std::weak_ptr<tarq::MessageOwner> old_model = owner;
  tarq::IRGraph g(std::move(owner));
  auto deps = g.tensor_dependency_table();
  const std::string last = g.model().graph().node(19).output(0);
  auto before = deps->at(last);
  ASSERT_FALSE(before.empty());

  g.set_model(ordered_chain(3));
  g.rebuild();
  EXPECT_TRUE(old_model.expired()) << "the map must not hold the previous model";
  EXPECT_EQ(deps->at(last), before);
  EXPECT_TRUE(deps->contains(std::string(before.front())));
}
