// tarq-ir fp32 IN -o OUT: the model with FLOAT16 and DOUBLE turned into FLOAT.
#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <iostream>

#include "commands.h"
#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq::cli {

int run_fp32(const CommonOptions& options, const std::string& output) {
  auto owner = load_model(options.model, /*load_external_data=*/true);
  IRGraph g(owner);
  g.convert_to_fp32();
  write_model(g.model(), output);
  std::cerr << fmt::format("I wrote {} ({} nodes, {} initializers)\n", output,
                           g.model().graph().node_size(), g.model().graph().initializer_size());
  return 0;
}

}  // namespace tarq::cli
