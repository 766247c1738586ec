// Live, read-only views of the graph's index tables, and the mutable views of
// consumer lists and name lists. A view holds the table it shows (a shared
// handle), so it stays valid after a rebuild (showing the table it was taken
// from) and after the graph is gone.
#pragma once

#include <onnx/onnx_pb.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq::py_face {

namespace py = pybind11;

// The Python view of a node that an Operand's lists refer to; the view keeps
// the operand (and through it the model) alive.
py::object node_view(const OperandPtr& op, onnx::NodeProto* node);
// A node argument as a pointer to keep in an Operand's lists: a view is used
// as is; an `onnx` package message is copied. The owner of the node is added
// to the operand's keep-alive list.
onnx::NodeProto* node_for_operand(const OperandPtr& op, py::handle obj);

// Consumers of a tensor: the Operand's own `outputs` list.
struct ConsumerList {
  OperandPtr op;
};
// A list of names owned by a graph (node_swap_up, node_ban_swap_up) or a
// table (inputs, outputs); read-only unless `writable`.
struct NameListView {
  std::shared_ptr<void> keep;
  std::vector<std::string>* names;
  bool writable;
};

void bind_table_views(py::module_& m);

// Factories used by the IRGraph binding.
py::object view_of(std::shared_ptr<const NameIndex> t);
py::object view_of(std::shared_ptr<const OperandMap> t);
py::object view_of(std::shared_ptr<const DependencyMap> t);
py::object view_of(std::shared_ptr<const NameLists> t);
py::object names_view(std::shared_ptr<void> keep, const std::vector<std::string>* names,
                      bool writable);

}  // namespace tarq::py_face
