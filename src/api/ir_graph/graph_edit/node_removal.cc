// Node removal: the node leaves the node list (parked, so views of it stay
// readable) and the tables follow without a rebuild: its key leaves the node
// index, later positions move up by one, and its links go (links.cc).
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../graph_core/parking.h"
#include "../graph_core/table_positions.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

void IRGraph::remove_node(const onnx::NodeProto& node) {
  require_current_tables("remove_node");
  const std::string name = node.name();
  auto it = nodes_->find(name);
  if (it == nodes_->end()) throw KeyError(name);
  const int64_t idx = it->second;
  onnx::NodeProto* stored = &entry_at(graph_->mutable_node(), idx, "nodes", name);
  std::vector<const onnx::NodeProto*> branch_nodes;
  if (stored->op_type() == "If") {
    for (const auto& attr : stored->attribute()) {
      if (attr.type() != onnx::AttributeProto::GRAPH) continue;
      for (const auto& sub : attr.g().node()) branch_nodes.push_back(&sub);
    }
  }
  // Out of the list first: a name that another node also writes is
  // relinked from the list without this node.
  erase_parked(graph_->mutable_node(), static_cast<int>(idx), graph_owner_.get());
  nodes_->erase(name);
  nodes_->shift_values_above(idx, int64_t{-1});
  unlink_top_level(stored);
  if (!branch_nodes.empty()) relink_branch(branch_nodes, nullptr);
  finish_edit();
}

int64_t IRGraph::remove_nodes(const std::vector<const onnx::NodeProto*>& nodes) {
  int64_t idx_max = -1;
  for (const auto* n : nodes) idx_max = std::max(idx_max, index(*n));
  // A removed node is parked, not freed: the pointers stay valid.
  for (const auto* n : nodes) remove_node(*n);
  return idx_max - static_cast<int64_t>(nodes.size());
}

}  // namespace tarq
