// Translation of the core's exception kinds into Python exceptions.
#pragma once

#include <pybind11/pybind11.h>

namespace tarq::py_face {

// Registers ValidationError (a ValueError) on `m` and the translators:
// KeyError, IndexError, ValueError, ValidationError, FileError -> OSError,
// protobuf/ONNX failures (std::exception) -> RuntimeError.
void register_errors(pybind11::module_& m);

}  // namespace tarq::py_face
