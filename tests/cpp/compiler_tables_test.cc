// The compiler-facing analyses from a C++ host without Python: layer tables
// with native containers for op_target and quant_tab, cost figures, swap-up.
#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <set>

#include "tarq/api/ir_graph/host_containers.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace {

using tarq::IRGraph;

const char* const kExample = TARQ_SOURCE_DIR "/examples/small_cnn.onnx";

const onnx::NodeProto& node_named(const IRGraph& g, const std::string& name) {
  return g.model().graph().node(static_cast<int>(g.nodes().at(name)));
}

TEST(CompilerTables, LayerTablesForAHostWithoutPython) {
  IRGraph g(tarq::load_model(kExample));
  const int n = g.model().graph().node_size();

  tarq::IrLayers plain = g.create_ir_layers(false, nullptr, false);
  ASSERT_EQ(plain.layers.size(), static_cast<size_t>(n));
  // Every computed tensor a layer reads names that layer among its readers,
  // and each layer's model holds its node and the inputs it reads.
  for (size_t k = 0; k < plain.layers.size(); ++k) {
    const auto& layer = plain.layers[k]->root_as<onnx::ModelProto>();
    ASSERT_EQ(layer.graph().node_size(), 1);
    const auto& node = layer.graph().node(0);
    EXPECT_EQ(node.name(), g.model().graph().node(static_cast<int>(k)).name());
    std::set<std::string> declared;
    for (const auto& vi : layer.graph().input()) declared.insert(vi.name());
    for (const auto& in : node.input()) {
      if (in.empty()) continue;
      EXPECT_TRUE(declared.count(in)) << node.name() << " reads " << in;
      if (g.consts().count(in)) continue;
      const auto& ids = plain.next_ids.at(in);
      EXPECT_TRUE(std::find(ids.begin(), ids.end(), static_cast<int64_t>(k)) != ids.end());
    }
    EXPECT_EQ(plain.can_free(k), g.can_frees().list(k));
  }

  // Fused on the default target: Conv+Relu and Add+Relu become one layer
  // each; a fused layer frees what both its nodes free.
  tarq::IrLayers fused = g.create_ir_layers(true, nullptr, false);
  EXPECT_LT(fused.layers.size(), plain.layers.size());
  bool two_node = false;
  for (size_t k = 0; k < fused.layers.size(); ++k) {
    const auto& lg = fused.layers[k]->root_as<onnx::ModelProto>().graph();
    if (lg.node_size() != 2) continue;
    two_node = true;
    EXPECT_EQ(lg.output(0).name(), lg.node(1).output(0));
    EXPECT_GE(fused.can_free(k).size(), 1u);
  }
  EXPECT_TRUE(two_node);

  // op_target placing a producer on the CPU and a fake-converted consumer
  // input veto fusion; a missing quant_tab record is a KeyError.
  const auto& conv = node_named(g, "block3/Conv");
  const auto& relu = *g.next_nodes(conv.output(0)).at(0);
  ASSERT_TRUE(g.can_fuse(conv, relu));
  auto targets = std::make_shared<tarq::NativeTextMap>();
  targets->set(conv.output(0), "npu");
  g.op_target = targets;
  EXPECT_TRUE(g.can_fuse(conv, relu));
  targets->set(conv.output(0), "cpu");
  EXPECT_FALSE(g.can_fuse(conv, relu));
  targets->set(conv.output(0), "gpu");
  EXPECT_FALSE(g.can_fuse(conv, relu));
  g.op_target = nullptr;
  tarq::NativeRecordMap quant;
  quant.set("elsewhere", {"scale"});
  EXPECT_THROW(g.can_fuse(conv, relu, false, &quant), tarq::KeyError);
  quant.set(relu.input(0), {"scale", "fake_convert"});
  EXPECT_FALSE(g.can_fuse(conv, relu, false, &quant));
  g.npu_target = "c1";
  EXPECT_TRUE(g.can_fuse(conv, relu));
}

TEST(CompilerTables, CostFiguresAndSwapUpMarks) {
  IRGraph g(tarq::load_model(kExample));
  const auto [mib, tflops] = g.calc_params_tflops();
  int64_t params = 0;
  for (const auto& t : g.model().graph().initializer()) {
    int64_t p = 1;
    for (int64_t d : t.dims()) p *= d;
    params += p;
  }
  EXPECT_DOUBLE_EQ(mib, static_cast<double>(params) * 4 / 1024 / 1024);
  double macs = 0;
  for (const auto& node : g.model().graph().node()) macs += g.node_macs(node);
  EXPECT_DOUBLE_EQ(tflops, macs * 2 / 1e12);
  const auto freq = g.calc_node_freq();
  EXPECT_TRUE(std::is_sorted(freq.begin(), freq.end()));
  EXPECT_EQ(freq.front().first, "Add");

  g.update_swap_up();
  g.set_swap_up({"a", "b", "a"});
  g.ban_swap_up({"c", "c"});
  EXPECT_EQ(g.node_ban_swap_up, tarq::NameVector{"c"});
  EXPECT_EQ(std::count(g.node_swap_up.begin(), g.node_swap_up.end(), "a"), 1);
}

}  // namespace
