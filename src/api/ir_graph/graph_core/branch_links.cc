// The links of If-branch nodes after an edit of a branch attribute: the
// nodes of a branch read outer names and write their own, so replacing or
// removing a branch changes the operand table as a rebuild would make it.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq {

bool IRGraph::is_linked_if(const onnx::NodeProto& node) const {
  if (node.op_type() != "If" || !graph_) return false;
  auto at = nodes_->find(node.name());
  return at != nodes_->end() && at->second >= 0 && at->second < graph_->node_size() &&
         &graph_->node(static_cast<int>(at->second)) == &node;
}

void IRGraph::relink_branch(const std::vector<const onnx::NodeProto*>& gone,
                            const onnx::GraphProto* added) {
  // Every name the old or the new branch mentions is relinked from the model
  // as it now is (graph_edit/links.cc).
  std::vector<std::string> names;
  auto mention = [&](const onnx::NodeProto& n) {
    for (const auto& input : n.input()) names.push_back(input);
    for (const auto& output : n.output()) names.push_back(output);
  };
  for (const auto* n : gone) mention(*n);
  if (added) {
    for (const auto& n : added->node()) mention(n);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  relink_names(names);
}

}  // namespace tarq
