#include "tarq/api/ir_graph/companions/settings.h"

#include <algorithm>

#include "tarq/errors.h"

namespace tarq {

namespace {

// Layout-only operators with one data input: moving them up changes no value.
std::vector<std::string>& swap_list() {
  static std::vector<std::string> ops{"Reshape", "Transpose", "Flatten",
                                      "Squeeze", "Unsqueeze", "Identity"};
  return ops;
}

int64_t& max_weight() {
  static int64_t bytes = kDefaultMaxOnnxWeight;
  return bytes;
}

}  // namespace

const std::vector<std::string>& swap_ops() { return swap_list(); }

void set_swap_ops(std::vector<std::string> ops) { swap_list() = std::move(ops); }

bool is_swap_op(const std::string& op_type) {
  const auto& ops = swap_list();
  return std::find(ops.begin(), ops.end(), op_type) != ops.end();
}

int64_t max_onnx_weight() { return max_weight(); }

void set_max_onnx_weight(int64_t bytes) {
  if (bytes < 0) throw ValueError("max_onnx_weight must not be negative");
  max_weight() = bytes;
}

}  // namespace tarq
