#include "model_figures.h"

#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <algorithm>

namespace tarq::cli {

CostFigures cost_figures(const IRGraph& g) {
  CostFigures f;
  f.params_mib = g.calc_params_mib();  // needs no shapes
  try {
    f.tflops = g.calc_params_tflops().second;
  } catch (const std::exception& e) {
    f.tflops_reason = e.what();
  }
  return f;
}

std::vector<std::pair<std::string, int64_t>> operator_mix(const IRGraph& g) {
  auto freq = g.calc_node_freq();  // by operator type
  std::stable_sort(freq.begin(), freq.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  return freq;
}

std::string human_bytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = bytes;
  int u = 0;
  while (v >= 1024 && u < 4) v /= 1024, ++u;
  return u == 0 ? fmt::format("{:.0f} B", bytes) : fmt::format("{:.1f} {}", v, units[u]);
}

}  // namespace tarq::cli
