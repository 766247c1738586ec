// tarq-ir clean MODEL -o OUT: dead nodes, unused inputs, initializers and
// value information removed, and the value information inferred afresh.
#include "commands.h"
#include "edit_session.h"

namespace tarq::cli {

int run_clean(const CommonOptions& options, const EditOutput& out) {
  EditSession s(options.model);
  RebuildOptions r;
  r.clean_shape = true;
  r.clean_node = true;
  // Finding dead nodes walks them backwards in execution order.
  r.sort_nodes = s.out_of_order();
  s.graph->rebuild(r);
  s.save(options, out, "clean");
  return 0;
}

}  // namespace tarq::cli
