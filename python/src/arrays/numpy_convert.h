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

// A numpy array sharing the NdArray's storage (kept alive by the array);
// writeable is false when the NdArray is read-only. STRING arrays become
// object arrays of str.
py::array to_numpy(const NdArray& a);
// An NdArray over the numpy array's memory when it is C-contiguous and of a
// known element type (the array is kept alive; its read-only flag carries
// over); otherwise over a contiguous copy. Accepts anything np.asarray takes.
NdArray from_numpy(py::handle obj);

}  // namespace tarq::py_face
