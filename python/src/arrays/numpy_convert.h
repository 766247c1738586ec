// NdArray <-> numpy.ndarray at the Python face.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "tarq/nd_array.h"

namespace tarq::py_face {

namespace py = pybind11;

// numpy dtype of an ONNX element type (bfloat16, float8, int4, ... through
// ml_dtypes; STRING as object). Throws ValueError for an unknown code.
py::dtype dtype_of(int32_t elem_type);
// ONNX element type of a dtype-like object (np.dtype, np.float32, "float32").
// Throws ValueError when there is none.
int32_t elem_type_of(py::handle dtype_like);

// A numpy array sharing the NdArray's storage (kept alive by the array's
// base, a capsule holding a view of the NdArray); writeable is false when the
// NdArray is read-only. STRING arrays become new object arrays of str
// (strict UTF-8 decoding: UnicodeDecodeError otherwise).
py::array to_numpy(const NdArray& a);
// An NdArray over the numpy array's memory when it is C-contiguous, aligned,
// in native byte order and of a known element type (the array is kept alive
// by the NdArray's owner, whose deleter takes the GIL; the read-only flag
// carries over); otherwise over a contiguous, writable copy. Object and str
// arrays become STRING arrays of their str (UTF-8) or bytes elements.
// Accepts anything np.asarray takes; throws ValueError for a dtype without
// an element type (bytes 'S', datetime, ...) and for object elements that
// are neither str nor bytes.
NdArray from_numpy(py::handle obj);

}  // namespace tarq::py_face
