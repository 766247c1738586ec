// tarq-ir sort MODEL -o OUT: the nodes in execution order.
#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <iostream>

#include "commands.h"
#include "edit_session.h"

namespace tarq::cli {

int run_sort(const CommonOptions& options, const EditOutput& out) {
  EditSession s(options.model);
  RebuildOptions r;
  r.sort_nodes = true;
  s.graph->rebuild(r);
  if (s.out_of_order()) {
    // The sort leaves the order as it was when a tensor has no producer or
    // the nodes form a cycle (it says which); such a model is not written.
    throw ValueError(
        "sort: the nodes cannot be put into execution order (see the warning "
        "above); nothing was written");
  }
  s.save(options, out, "sort");
  return 0;
}

}  // namespace tarq::cli
