// The parts of the extension module, each defined in the folder of its kind.
#pragma once

#include <pybind11/pybind11.h>

namespace tarq::py_face {

namespace py = pybind11;

// messages/: MessageView, RepeatedView, to_onnx.
void bind_messages(py::module_& m);
// arrays/: nothing public on the module itself; the ONNX helpers go to
// `companions`.
void bind_onnx_helpers(py::module_& companions);
// companions/: tarqLog and the companion settings.
void bind_companions(py::module_& m, py::module_& companions);
// graph/: Operand, IRGraph, the operator lists, load_model, table views.
void bind_graph(py::module_& m);

}  // namespace tarq::py_face
