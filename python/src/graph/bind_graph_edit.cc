// remove_node(s), insert_node(s), set_input/set_output and the operand
// helpers. A node is a view or an `onnx` message; what the graph stores is
// always its own copy.
#include <onnx/onnx_pb.h>

#include <vector>

#include "graph/graph_parts.h"
#include "messages/message_view.h"

namespace tarq::py_face {

namespace {

// The nodes of a list argument, each with the owner that keeps it alive.
struct NodeArgs {
  std::vector<const onnx::NodeProto*> nodes;
  std::vector<IRGraph::NodeRef> refs;
};

NodeArgs node_args(py::handle list) {
  NodeArgs out;
  // Items first: iterating may run Python code.
  std::vector<py::object> items;
  for (auto item : py::iter(list)) items.push_back(py::reinterpret_borrow<py::object>(item));
  for (const auto& item : items) {
    OwnerPtr keep;
    auto* n = message_arg_as<onnx::NodeProto>(item, &keep);
    out.nodes.push_back(n);
    out.refs.push_back({n, keep});
  }
  return out;
}

IRGraph::NodeRef node_ref(py::handle obj) {
  if (obj.is_none()) return {};
  OwnerPtr keep;
  auto* n = message_arg_as<onnx::NodeProto>(obj, &keep);
  return {n, keep};
}

}  // namespace

void bind_graph_edit(GraphClass& cls) {
  cls.def(
      "remove_node",
      [](IRGraph& g, py::handle node) {
        OwnerPtr keep;
        g.remove_node(*message_arg_as<onnx::NodeProto>(node, &keep, false));
      },
      py::arg("node"),
      "Removes the node of that name from the graph (KeyError when there is none). Views of it\n"
      "stay readable; it is no longer part of the model. Every table stays exact.");
  cls.def(
      "remove_nodes",
      [](IRGraph& g, py::handle nodes) { return g.remove_nodes(node_args(nodes).nodes); },
      py::arg("nodes"),
      "Removes the nodes in order. Returns the largest of their positions before removal\n"
      "minus their number: for a contiguous run, the position of the node before it.");
  cls.def(
      "insert_node",
      [](IRGraph& g, int64_t idx, py::handle node) {
        OwnerPtr keep;
        g.insert_node(idx, *message_arg_as<onnx::NodeProto>(node, &keep));
      },
      py::arg("idx"), py::arg("node"),
      "Stores a copy of the node at position idx (0 to len(node)) and links it; every table\n"
      "refers to the stored copy (g.node[idx]). A name already in `nodes` is reported.");
  cls.def(
      "insert_nodes",
      [](IRGraph& g, py::handle nodes, py::handle near_nodes) {
        NodeArgs group = node_args(nodes);
        NodeArgs near = near_nodes.is_none() ? NodeArgs{} : node_args(near_nodes);
        return g.insert_nodes(group.nodes, near.nodes);
      },
      py::arg("nodes"), py::arg("near_nodes") = py::tuple(),
      "Inserts each node right after its last producer, else before its first consumer, else\n"
      "at 0. Returns the position of the furthest-down node inserted.");
  cls.def(
      "set_input",
      [](IRGraph& g, py::handle node, int64_t idx, const std::string& name) {
        OwnerPtr keep;
        auto* n = message_arg_as<onnx::NodeProto>(node, &keep);
        g.set_input(*n, idx, name, keep);
      },
      py::arg("node"), py::arg("idx"), py::arg("name"),
      "Sets input slot idx to `name`, recording the node in nodes_chg first; a node of the\n"
      "graph is relinked.");
  cls.def(
      "set_output",
      [](IRGraph& g, py::handle node, int64_t idx, const std::string& name) {
        OwnerPtr keep;
        auto* n = message_arg_as<onnx::NodeProto>(node, &keep);
        g.set_output(*n, idx, name, keep);
      },
      py::arg("node"), py::arg("idx"), py::arg("name"),
      "Sets output slot idx to `name`, recording the node in nodes_chg first; a node of the\n"
      "graph is relinked.");
  cls.def(
      "_add_operand",
      [](IRGraph& g, const std::string& name, py::handle i_node, py::list o_nodes) {
        IRGraph::NodeRef producer = node_ref(i_node);
        std::vector<IRGraph::NodeRef> consumers = node_args(o_nodes).refs;
        const bool fill = consumers.empty();
        g._add_operand(name, producer, consumers);
        if (!fill) return;
        // The caller's list is the one that grows.
        OwnerPtr owner = g.model_owner();
        for (const auto& c : consumers)
          o_nodes.append(wrap_message(c.owner ? c.owner : owner, c.node));
      },
      py::arg("name"), py::arg("i_node"), py::arg("o_nodes"),
      "A new record for the tensor (unless it is known, a constant or empty): producer i_node,\n"
      "else the first node writing it; consumers o_nodes, else the nodes reading it (appended\n"
      "to o_nodes). The nodes need not be in the graph yet.");
  cls.def(
      "_add_new_operands", [](IRGraph& g, py::handle node) { g._add_new_operands(node_ref(node)); },
      py::arg("node"), "Records for the tensors the node reads and writes, through _add_operand.");
  cls.def(
      "_add_new_operands2",
      [](IRGraph& g, py::handle nodes, py::handle near_nodes) {
        NodeArgs group = node_args(nodes);
        NodeArgs near = near_nodes.is_none() ? NodeArgs{} : node_args(near_nodes);
        g._add_new_operands2(group.refs, near.refs);
      },
      py::arg("nodes"), py::arg("near_nodes") = py::tuple(),
      "Records for the tensors of a group of new nodes, their producers and consumers looked\n"
      "for among the group and near_nodes first, then in the graph.");
}

}  // namespace tarq::py_face
