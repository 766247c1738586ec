// Editing from a C++ host: removal, insertion and rewiring keep the node
// index and the links exact, which verify() proves after each step; the
// derived tables follow on first access.
#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>

#include <string>
#include <vector>

#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace {

using tarq::IRGraph;

std::vector<std::string> consumer_names(const IRGraph& g, const std::string& tensor) {
  std::vector<std::string> out;
  for (const auto* n : g.operand(tensor)->outputs) out.push_back(n->name());
  return out;
}

TEST(GraphEdit, RemoveInsertAndRewireFromCpp) {
  IRGraph g(tarq::load_model(TARQ_SOURCE_DIR "/examples/small_cnn.onnx"));
  const int count = g.model().graph().node_size();
  const onnx::NodeProto relu = g.model().graph().node(2);  // a copy
  const std::string in = relu.input(0), out = relu.output(0);

  g.remove_node(relu);
  EXPECT_EQ(g.model().graph().node_size(), count - 1);
  EXPECT_EQ(g.nodes().count(relu.name()), 0u);
  EXPECT_EQ(g.nodes().at(g.model().graph().node(2).name()), 2);
  EXPECT_TRUE(g.operand(in)->outputs.empty());
  EXPECT_EQ(g.operand(out)->input, nullptr);
  const size_t frees_after_removal = g.can_frees().size();
  EXPECT_EQ(frees_after_removal, static_cast<size_t>(count - 1));
  g.verify();

  onnx::NodeProto* stored = g.insert_node(2, relu);
  EXPECT_NE(stored, &relu);
  EXPECT_EQ(g.operand(out)->input, stored);
  EXPECT_EQ(consumer_names(g, in), std::vector<std::string>{relu.name()});
  EXPECT_EQ(g.can_frees().size(), static_cast<size_t>(count));
  g.verify();

  // The next node reads the input of the Relu instead: both now consume it,
  // in node order.
  onnx::NodeProto& next = *g.model().mutable_graph()->mutable_node(3);
  g.set_input(next, 0, in);
  EXPECT_EQ(consumer_names(g, in), (std::vector<std::string>{relu.name(), next.name()}));
  for (const auto& name : consumer_names(g, out)) EXPECT_NE(name, next.name());
  g.verify();

  EXPECT_THROW(g.remove_node(onnx::NodeProto()), tarq::KeyError);
  EXPECT_THROW(g.insert_node(count + 5, relu), tarq::IndexError);
  EXPECT_THROW(g.set_input(next, 9, in), tarq::IndexError);

  // Tables of an earlier model refuse edits until the rebuild.
  g.set_model(tarq::load_model(TARQ_SOURCE_DIR "/examples/small_cnn.onnx"));
  EXPECT_THROW(g.remove_node(g.model().graph().node(0)), tarq::ValueError);
  g.rebuild();
  g.remove_node(g.model().graph().node(0));
  g.verify();
}

}  // namespace
