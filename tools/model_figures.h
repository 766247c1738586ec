// What info and report show about a whole model: its cost figures and its
// operator mix, both counted by the graph layer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq::cli {

struct CostFigures {
  double params_mib = 0;
  // Absent when a node the count includes has an unknown or symbolic shape;
  // `tflops_reason` then says which.
  std::optional<double> tflops;
  std::string tflops_reason;
};
// Never throws for a model the graph holds: a count that fails is reported
// as absent.
CostFigures cost_figures(const IRGraph& g);

// Operator type -> node count, most frequent first, equal counts by name.
std::vector<std::pair<std::string, int64_t>> operator_mix(const IRGraph& g);

// "1.5 MiB"; bytes below 1 KiB as "12 B".
std::string human_bytes(double bytes);

}  // namespace tarq::cli
