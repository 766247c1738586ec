// The read-ahead loads only the cache lines of a node that a walk reads; it
// finds where a node keeps its name and operator type once. Should that
// search fail (another message layout), walks stay correct but slow down:
// this test is what notices.
#include "../../src/api/ir_graph/graph_core/read_ahead.h"

#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>

#include <cstdint>
#include <cstring>

namespace {

const void* pointer_at(const onnx::NodeProto& node, std::ptrdiff_t offset) {
  uintptr_t word;
  std::memcpy(&word, reinterpret_cast<const char*>(&node) + offset, sizeof(word));
  return reinterpret_cast<const void*>(word & ~uintptr_t{7});
}

}  // namespace

TEST(ReadAhead, FindsWhereNodesKeepNameAndOperatorType) {
  const auto& layout = tarq::read_ahead_detail::node_layout();
  ASSERT_GE(layout.name, 0);
  ASSERT_GE(layout.op_type, 0);
  EXPECT_NE(layout.name, layout.op_type);
  EXPECT_LE(static_cast<size_t>(layout.op_type) + sizeof(void*), sizeof(onnx::NodeProto));
  EXPECT_LE(static_cast<size_t>(layout.name) + sizeof(void*), sizeof(onnx::NodeProto));

  // The offsets hold for nodes parsed from bytes, as a loaded model's are.
  onnx::NodeProto made;
  made.set_name("/stage0/block1/Conv_3");
  made.set_op_type("Relu");  // short: its characters sit in the string object
  made.add_input("/stage0/block1/Relu_2_output_0");
  onnx::NodeProto parsed;
  ASSERT_TRUE(parsed.ParseFromString(made.SerializeAsString()));
  for (const auto* node : {&made, &parsed}) {
    EXPECT_EQ(pointer_at(*node, layout.name), &node->name());
    EXPECT_EQ(pointer_at(*node, layout.op_type), &node->op_type());
  }
}
