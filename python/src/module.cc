// The extension module tarq.api.ir_graph._core; tarq/api/ir_graph/__init__.py
// re-exports it as tarq.api.ir_graph.
#include "bindings.h"
#include "errors_py.h"

namespace {

namespace py = pybind11;

// Classes of this module are hardened against two ways Python code could
// reach undefined behaviour through pybind11 itself.
//
// An object made with cls.__new__(cls) and never initialised holds no C++
// value; pybind11 would hand its methods freshly allocated, unconstructed
// memory instead (its allocation hook for such values is the only use of
// type_info::operator_new). Refusing that allocation turns every use of such
// an object into a TypeError.
void* refuse_uninitialised(size_t) {
  throw py::type_error(
      "this object was made with __new__ and never initialised; create it by calling its class");
}

// Pickling a class without its own __reduce__ falls back to copyreg, which
// for protocols 0 and 1 instantiates pybind11's common base class, whose
// allocation throws a C++ exception through C code (the process aborts).
// These objects are views and tables of a live graph: they are not pickled.
// The namespace of a module or a class (a class's __dict__ is a proxy).
py::dict members(py::handle scope) {
  if (PyType_Check(scope.ptr())) {
    return py::reinterpret_borrow<py::dict>(reinterpret_cast<PyTypeObject*>(scope.ptr())->tp_dict);
  }
  return py::reinterpret_borrow<py::dict>(PyModule_GetDict(scope.ptr()));
}

void refuse_pickling(py::handle cls) {
  py::dict own = members(cls);
  if (own.contains("__reduce__") || own.contains("__reduce_ex__")) return;
  std::string name = py::str(cls.attr("__name__"));
  cls.attr("__reduce_ex__") = py::cpp_function(
      [name](py::handle, py::handle) -> py::object {
        throw py::type_error("cannot pickle '" + name + "' object");
      },
      py::is_method(cls), py::arg("protocol") = 0);
}

void guard_classes_in(py::handle scope) {
  for (auto item : members(scope)) {
    py::handle value = item.second;
    if (!PyType_Check(value.ptr())) continue;
    auto* info = py::detail::get_type_info(reinterpret_cast<PyTypeObject*>(value.ptr()));
    if (!info || info->operator_new == refuse_uninitialised) continue;
    info->operator_new = refuse_uninitialised;
    refuse_pickling(value);
    guard_classes_in(value);  // nested classes
  }
}

// The common base class's allocation throws a C++ exception when asked for
// an instance of itself; through C code that aborts the process. Turn it
// into a TypeError.
newfunc base_new = nullptr;
PyObject* guarded_base_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  try {
    return base_new(type, args, kwargs);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
    return nullptr;
  }
}

void guard_common_base() {
  auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
  if (!base || base->tp_new == guarded_base_new) return;
  base_new = base->tp_new;
  base->tp_new = guarded_base_new;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  namespace tp = tarq::py_face;
  m.doc() = "Indexed, mutable graph over one ONNX model.";
  auto companions = m.def_submodule("companions", "Process-wide companion services and settings.");
  tp::register_errors(m);
  tp::bind_messages(m);
  tp::bind_companions(m, companions);
  tp::bind_onnx_helpers(companions);
  tp::bind_graph(m);
  guard_classes_in(m);
  guard_classes_in(companions);
  guard_common_base();
}
