#include "model_figures.h"

#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <algorithm>

namespace tarq::cli {

CostFigures cost_figures(const IRGraph& g) {
  CostFigures f;
  try {
    const auto [mib, tflops] = g.calc_params_tflops();
    f.params_mib = mib;
    f.tflops = tflops;
  } catch (const std::exception& e) {
    f.tflops_reason = e.what();
    // The graph layer counts both figures in one call, which fails as a
    // whole; the parameter size does not depend on shapes, so it is counted
    // here by the same rule (4 bytes per initializer element).
    double elements = 0;
    for (const auto& t : g.model().graph().initializer()) {
      double n = 1;
      for (int64_t d : t.dims()) n *= static_cast<double>(d);
      elements += n;
    }
    f.params_mib = elements * 4 / 1024 / 1024;
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
