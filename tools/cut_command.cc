// tarq-ir cut MODEL --inputs A,B --outputs C [--shapes A=1x3x224x224] -o OUT:
// the sub-graph between new inputs and outputs.
#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cctype>
#include <unordered_set>

#include "commands.h"
#include "edit_session.h"

namespace tarq::cli {

namespace {

std::string hint_for(const std::string& model) {
  return "\n  hint: `tarq-ir info " + model +
         "` lists the graph's inputs and outputs; names are case-sensitive, and a constant "
         "(initializer) cannot be a new input or output";
}

}  // namespace

int run_cut(const CommonOptions& options, const CutOptions& cut, const EditOutput& out) {
  if (cut.inputs.empty() && cut.outputs.empty()) {
    throw ValueError("cut: name new --inputs, new --outputs, or both");
  }
  EditSession s(options.model);
  IRGraph& g = *s.graph;

  // The names a boundary may use: what the nodes read (constants aside) and
  // write. An unknown one is refused before anything changes.
  std::unordered_set<std::string> known;
  for (const auto& n : g.model().graph().node()) {
    for (const auto& in : n.input()) {
      if (!in.empty() && !g.consts().count(in)) known.insert(in);
    }
    known.insert(n.output().begin(), n.output().end());
  }
  auto require_known = [&](const std::vector<std::string>& names, const char* flag) {
    for (const auto& name : names) {
      if (!known.count(name)) {
        throw KeyError(
            fmt::format("cut: unknown tensor '{}' in {}: no node of {} reads or "
                        "writes it{}",
                        name, flag, s.path, hint_for(s.path)));
      }
    }
  };
  require_known(cut.inputs, "--inputs");
  require_known(cut.outputs, "--outputs");
  for (const auto& name : cut.inputs) {
    if (std::find(cut.outputs.begin(), cut.outputs.end(), name) != cut.outputs.end()) {
      throw KeyError(fmt::format("cut: '{}' is named in both --inputs and --outputs", name));
    }
  }

  EditPar edit;
  edit.inputs = cut.inputs;
  edit.outputs = cut.outputs;
  // Each new input keeps the shape the graph knows for it unless given.
  for (const auto& name : cut.inputs) edit.shapes.push_back(g.get_shape(name));
  for (const auto& entry : cut.shapes) {
    const size_t eq = entry.find('=');
    if (eq == std::string::npos) {
      throw ValueError("--shapes " + entry + ": write NAME=1x3x224x224");
    }
    const std::string name = entry.substr(0, eq);
    auto it = std::find(cut.inputs.begin(), cut.inputs.end(), name);
    if (it == cut.inputs.end()) {
      throw KeyError(fmt::format("cut: --shapes names '{}', which is not one of --inputs", name));
    }
    edit.shapes[static_cast<size_t>(it - cut.inputs.begin())] =
        parse_dims(entry.substr(eq + 1), entry);
  }

  RebuildOptions r;
  r.edit_par = &edit;
  // Dropping the nodes outside the boundary walks the nodes in execution
  // order.
  r.sort_nodes = s.out_of_order();
  g.rebuild(r);
  s.save(options, out, "cut");
  return 0;
}

}  // namespace tarq::cli
