// Process-wide settings of the companion services: the swap rules and the
// weight-size threshold of the saver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarq {

// Operator types that may be moved up in the layer order (swap-up).
const std::vector<std::string>& swap_ops();
void set_swap_ops(std::vector<std::string> ops);
bool is_swap_op(const std::string& op_type);

// Models whose weights exceed this many bytes are saved without them.
constexpr int64_t kDefaultMaxOnnxWeight = 2000000000;
int64_t max_onnx_weight();
// Throws ValueError for a negative value.
void set_max_onnx_weight(int64_t bytes);

}  // namespace tarq
