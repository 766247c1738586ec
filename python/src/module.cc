// The extension module tarq.api.ir_graph._core; tarq/api/ir_graph/__init__.py
// re-exports it as tarq.api.ir_graph.
#include "bindings.h"
#include "errors_py.h"

PYBIND11_MODULE(_core, m) {
  namespace tp = tarq::py_face;
  m.doc() = "Indexed, mutable graph over one ONNX model.";
  auto companions = m.def_submodule("companions", "Process-wide companion services and settings.");
  tp::register_errors(m);
  tp::bind_messages(m);
  tp::bind_companions(m, companions);
  tp::bind_onnx_helpers(companions);
  tp::bind_graph(m);
}
