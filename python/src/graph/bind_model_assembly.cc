// make_model, save_onnx and deepcopy. The lambdas only convert arguments and
// call the core.
#include <onnx/onnx_pb.h>

#include "graph/graph_parts.h"
#include "messages/message_view.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq::py_face {

void bind_model_assembly(GraphClass& cls) {
  cls.def(
      "make_model",
      [](IRGraph& g, py::handle graph, int64_t opset, bool check) {
        MessageArg a = message_arg(graph, onnx::GraphProto::descriptor());
        auto* given = static_cast<onnx::GraphProto*>(a.msg);
        // A graph copied in for this call is moved into the model; a view's
        // graph is copied once.
        onnx::GraphProto taken = a.copied ? std::move(*given) : *given;
        OwnerPtr owner = g.make_model(std::move(taken), opset, check);
        return wrap_message(owner, &owner->root());
      },
      py::arg("graph"), py::arg("opset") = 12, py::arg("check") = true,
      "A model around a copy of `graph` (a view or an onnx.GraphProto): producer 'zq', IR\n"
      "version 8, one import of the default domain at `opset`; shape-inferred, and checked\n"
      "when `check` is true (ValidationError on failure). Returns a view of the new model.");
  cls.def(
      "save_onnx",
      [](const IRGraph& g, py::handle path, bool save_large, py::object external_data) {
        std::string data_file;
        if (!external_data.is_none()) {
          data_file = fs_path(external_data);
          if (data_file.empty()) throw ValueError("external_data must name a file, not ''");
        }
        g.save_onnx(fs_path(path), save_large, data_file);
      },
      py::arg("path"), py::arg("save_large") = false, py::arg("external_data") = py::none(),
      "Writes the model to `path`. With a weight cache, the cached arrays are written as the\n"
      "data of their placeholders when save_large is true or n_bytes is below\n"
      "companions.get_max_onnx_weight(); otherwise a warning names the size and only the basic\n"
      "graph is written. The graph's own model does not change.\n\n"
      "external_data: a file name relative to the folder of `path` that receives the data of\n"
      "every initializer of 1024 bytes or more as ONNX external data (so models over 2 GB can\n"
      "keep their weights); load such a file with load_model(path, load_external_data=True),\n"
      "onnx.load(path), or IRGraph(load_model(path), ori_model_path=path, initializer_dat={}).\n\n"
      "The file appears complete or not at all: an existing file stays as it was when the write\n"
      "fails (OSError). A single file over 2 GB raises ValueError.");
  cls.def(
      "deepcopy",
      [](const IRGraph& g, bool share_initializer_dat, py::object edit_par, bool keep_dynamic) {
        auto ep = parse_edit_par(edit_par);
        return g.deepcopy(share_initializer_dat, ep ? &*ep : nullptr, keep_dynamic);
      },
      py::arg("share_initializer_dat") = true, py::arg("edit_par") = py::none(),
      py::arg("keep_dynamic") = true,
      "A new IRGraph over a deep copy of the model with this graph's settings. The weight\n"
      "cache is a new mapping holding the same arrays (share_initializer_dat=True) or none;\n"
      "dynamic_shapes and dynamic_diff (only with keep_dynamic), op_target, share_weights and\n"
      "weights_for_align are deep copies; edit_par is applied by the copy's first rebuild;\n"
      "expand_batch_size is carried over.");
}

}  // namespace tarq::py_face
