// get_attr, set_attr, remove_attr, same_attr. A node is a view (changed in
// place) or an `onnx` message (copied in, so a write changes only the copy).
#include <onnx/onnx_pb.h>

#include "arrays/attr_values.h"
#include "graph/graph_parts.h"
#include "messages/message_view.h"

namespace tarq::py_face {

void bind_attributes(GraphClass& cls) {
  cls.def(
      "get_attr",
      [](IRGraph& g, py::handle node, const std::string& name, bool ret_def_attr) {
        // Only read, never copied or compared whole: no depth check needed.
        OwnerPtr keep;
        auto* n = message_arg_as<onnx::NodeProto>(node, &keep, false);
        return attr_value_to_python(g.get_attr(*n, name, ret_def_attr), keep);
      },
      py::arg("node"), py::arg("name"), py::arg("ret_def_attr") = true,
      "The node's attribute (STRING as str, STRINGS as bytes, TENSOR/GRAPH as views), or the\n"
      "default of its operator type for the model's opset, completed from the tensor shapes;\n"
      "None when there is neither. KeyError for a type without defaults.");
  cls.def(
      "set_attr",
      [](IRGraph& g, py::handle node, const std::string& name, py::handle val) {
        OwnerPtr keep;
        auto* n = message_arg_as<onnx::NodeProto>(node, &keep);
        AttrArg arg;
        if (!val.is_none()) arg = attr_arg(val, name);
        g.set_attr(*n, name, arg.value, keep);
      },
      py::arg("node"), py::arg("name"), py::arg("val"),
      "Writes the attribute, moved to the end of the node's list; None or an empty list removes\n"
      "it. The node's state before its first change goes to nodes_chg when that is a dict.");
  cls.def(
      "remove_attr",
      [](IRGraph& g, py::handle node, const std::string& name) {
        OwnerPtr keep;
        auto* n = message_arg_as<onnx::NodeProto>(node, &keep);
        g.remove_attr(*n, name, keep);
      },
      py::arg("node"), py::arg("name"), "Removes the first attribute called `name`, if any.");
  cls.def(
      "same_attr",
      [](IRGraph& g, py::handle node_0, py::handle node_1) {
        OwnerPtr keep_0, keep_1;
        auto* a = message_arg_as<onnx::NodeProto>(node_0, &keep_0);
        auto* b = message_arg_as<onnx::NodeProto>(node_1, &keep_1);
        return g.same_attr(*a, *b);
      },
      py::arg("node_0"), py::arg("node_1"),
      "True when both nodes have the same type and equal attributes, defaults included.");
}

}  // namespace tarq::py_face
