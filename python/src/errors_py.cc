#include "errors_py.h"

#include "tarq/errors.h"

namespace tarq::py_face {

namespace py = pybind11;

void register_errors(py::module_& m) {
  static py::exception<ValidationError> validation(m, "ValidationError", PyExc_ValueError);
  static py::exception<VerifyError> verify(m, "VerifyError", PyExc_ValueError);
  verify.doc() =
      "An index table disagrees with the model: the attributes table, key, expected (what the "
      "model implies) and actual (what the table holds) say where.";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const ValidationError& e) {
      py::set_error(validation, e.what());
    } catch (const VerifyError& e) {
      // Names come from the model and need not be UTF-8.
      auto text = [](const std::string& s) {
        return py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "backslashreplace"));
      };
      py::object err = py::reinterpret_borrow<py::object>(verify)(text(e.what()));
      err.attr("table") = text(e.table);
      err.attr("key") = text(e.key);
      err.attr("expected") = text(e.expected);
      err.attr("actual") = text(e.actual);
      py::set_error(verify, err);
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
