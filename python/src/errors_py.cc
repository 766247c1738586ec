#include "errors_py.h"

#include "tarq/errors.h"

namespace tarq::py_face {

namespace py = pybind11;

void register_errors(py::module_& m) {
  static py::exception<ValidationError> validation(m, "ValidationError", PyExc_ValueError);
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const ValidationError& e) {
      py::set_error(validation, e.what());
    } catch (const KeyError& e) {
      py::set_error(PyExc_KeyError, e.what());
    } catch (const IndexError& e) {
      py::set_error(PyExc_IndexError, e.what());
    } catch (const ValueError& e) {
      py::set_error(PyExc_ValueError, e.what());
    } catch (const FileError& e) {
      py::set_error(PyExc_OSError, e.what());
    }
  });
}

}  // namespace tarq::py_face
