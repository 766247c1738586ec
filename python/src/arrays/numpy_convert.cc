#include "arrays/numpy_convert.h"

#include <array>
#include <string>
#include <vector>

#include "tarq/errors.h"

namespace tarq::py_face {

namespace {

constexpr int32_t kCodeCount = kFloat6e3m2 + 1;

// numpy dtypes by element-type code; None where there is none (UNDEFINED, or
// the ml_dtypes package missing). Built once, never destroyed.
struct DtypeTable {
  std::array<py::object, kCodeCount> by_code;
};

const DtypeTable& dtypes() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<DtypeTable> storage;
  return storage
      .call_once_and_store_result([] {
        DtypeTable t;
        for (auto& d : t.by_code) d = py::none();
        auto np_dtype = [](const char* name) { return py::dtype(std::string(name)); };
        t.by_code[kFloat] = np_dtype("float32");
        t.by_code[kUint8] = np_dtype("uint8");
        t.by_code[kInt8] = np_dtype("int8");
        t.by_code[kUint16] = np_dtype("uint16");
        t.by_code[kInt16] = np_dtype("int16");
        t.by_code[kInt32] = np_dtype("int32");
        t.by_code[kInt64] = np_dtype("int64");
        t.by_code[kString] = np_dtype("object");
        t.by_code[kBool] = np_dtype("bool");
        t.by_code[kFloat16] = np_dtype("float16");
        t.by_code[kDouble] = np_dtype("float64");
        t.by_code[kUint32] = np_dtype("uint32");
        t.by_code[kUint64] = np_dtype("uint64");
        t.by_code[kComplex64] = np_dtype("complex64");
        t.by_code[kComplex128] = np_dtype("complex128");
        py::object ml;
        try {
          ml = py::module_::import("ml_dtypes");
        } catch (const py::error_already_set&) {
          return t;  // the extension types stay None
        }
        const std::pair<int32_t, const char*> extension[] = {
            {kBfloat16, "bfloat16"},
            {kFloat8e4m3fn, "float8_e4m3fn"},
            {kFloat8e4m3fnuz, "float8_e4m3fnuz"},
            {kFloat8e5m2, "float8_e5m2"},
            {kFloat8e5m2fnuz, "float8_e5m2fnuz"},
            {kUint4, "uint4"},
            {kInt4, "int4"},
            {kFloat4e2m1, "float4_e2m1fn"},
            {kFloat8e8m0, "float8_e8m0fnu"},
            {kUint2, "uint2"},
            {kInt2, "int2"},
            {kFloat6e2m3, "float6_e2m3fn"},
            {kFloat6e3m2, "float6_e3m2fn"},
        };
        for (const auto& [code, name] : extension) {
          if (py::hasattr(ml, name)) t.by_code[code] = py::dtype::from_args(ml.attr(name));
        }
        return t;
      })
      .get_stored();
}

// Element type of a numpy dtype; -1 when there is none.
int32_t code_of(const py::dtype& dt) {
  constexpr int kFirstUserType = 256;  // NPY_USERDEF: where extension types start
  if (dt.num() >= kFirstUserType) {
    // The ml_dtypes types (whose kind may look builtin: float8_e5m2 says
    // 'f'); compare with each.
    const auto& table = dtypes().by_code;
    for (int32_t code = 0; code < kCodeCount; ++code) {
      if (!table[code].is_none() && dt.equal(table[code])) return code;
    }
    return -1;
  }
  const char kind = dt.kind();
  const auto size = dt.itemsize();
  switch (kind) {
    case 'b':
      return kBool;
    case 'i':
      return size == 1 ? kInt8 : size == 2 ? kInt16 : size == 4 ? kInt32 : size == 8 ? kInt64 : -1;
    case 'u':
      return size == 1   ? kUint8
             : size == 2 ? kUint16
             : size == 4 ? kUint32
             : size == 8 ? kUint64
                         : -1;
    case 'f':
      return size == 2 ? kFloat16 : size == 4 ? kFloat : size == 8 ? kDouble : -1;
    case 'c':
      return size == 8 ? kComplex64 : size == 16 ? kComplex128 : -1;
    case 'O':
    case 'U':
      return kString;
    default:
      return -1;
  }
}

// A dtype is stored in the byte order of this machine (little-endian here).
bool native_order(const py::dtype& dt) {
  const char order = dt.byteorder();
  return order == '=' || order == '|' || order == '<';
}

std::string dtype_text(py::handle dt) { return py::str(dt).cast<std::string>(); }

NdArray strings_from(const py::array& arr) {
  Extents shape(arr.shape(), arr.shape() + arr.ndim());
  py::list flat = arr.attr("ravel")().attr("tolist")();
  std::vector<std::string> values;
  values.reserve(flat.size());
  for (py::handle item : flat) {
    if (PyUnicode_Check(item.ptr())) {
      Py_ssize_t n = 0;
      const char* s = PyUnicode_AsUTF8AndSize(item.ptr(), &n);
      if (!s) throw py::error_already_set();
      values.emplace_back(s, static_cast<size_t>(n));
    } else if (PyBytes_Check(item.ptr())) {
      values.emplace_back(PyBytes_AS_STRING(item.ptr()),
                          static_cast<size_t>(PyBytes_GET_SIZE(item.ptr())));
    } else {
      throw ValueError("a string array may hold only str or bytes, not " +
                       py::type::of(item).attr("__name__").cast<std::string>());
    }
  }
  return NdArray::from_strings(std::move(shape), std::move(values));
}

// An owner handle that keeps a Python object alive; the reference is dropped
// with the GIL held, from whichever thread releases the last NdArray.
std::shared_ptr<const void> python_owner(py::object obj) {
  auto* held = new py::object(std::move(obj));
  return std::shared_ptr<const void>(held, [](const void* p) {
    auto* o = static_cast<py::object*>(const_cast<void*>(p));
    if (!Py_IsInitialized()) return;  // the interpreter is gone: nothing to release
    py::gil_scoped_acquire gil;
    delete o;
  });
}

}  // namespace

py::dtype dtype_of(int32_t elem_type) {
  if (elem_type <= kUndefined || elem_type >= kCodeCount) {
    throw ValueError("no numpy dtype for element type " + elem_type_name(elem_type));
  }
  const py::object& dt = dtypes().by_code[elem_type];
  if (dt.is_none()) {
    throw ValueError("the numpy dtype of " + elem_type_name(elem_type) +
                     " needs the ml_dtypes package");
  }
  return py::reinterpret_borrow<py::dtype>(dt);
}

int32_t elem_type_of(py::handle dtype_like) {
  py::dtype dt;
  try {
    dt = py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype_like));
  } catch (const py::error_already_set&) {
    throw ValueError("not a numpy dtype: " + py::repr(dtype_like).cast<std::string>());
  }
  const int32_t code = code_of(dt);
  if (code < 0) throw ValueError("no ONNX element type for numpy dtype " + dtype_text(dt));
  return code;
}

py::array to_numpy(const NdArray& a) {
  std::vector<py::ssize_t> shape(a.shape().begin(), a.shape().end());
  if (a.elem_type() == kString) {
    py::array out(dtype_of(kString), shape);  // filled with None
    auto** cells = static_cast<PyObject**>(out.mutable_data());
    const auto& strs = a.strings();
    for (size_t k = 0; k < strs.size(); ++k) {
      PyObject* s =
          PyUnicode_DecodeUTF8(strs[k].data(), static_cast<Py_ssize_t>(strs[k].size()), "strict");
      if (!s) throw py::error_already_set();
      Py_XDECREF(cells[k]);
      cells[k] = s;
    }
    if (a.readonly()) out.attr("setflags")(py::arg("write") = false);
    return out;
  }
  py::dtype dt = dtype_of(a.elem_type());
  // The capsule holds a view of the array, and with it the storage owner.
  auto* keep = new NdArray(a);
  py::capsule base(keep, [](void* p) { delete static_cast<NdArray*>(p); });
  py::array out(dt, shape, a.data(), base);
  if (a.readonly()) out.attr("setflags")(py::arg("write") = false);
  return out;
}

NdArray from_numpy(py::handle obj) {
  py::module_ np = py::module_::import("numpy");
  py::array arr = py::isinstance<py::array>(obj) ? py::reinterpret_borrow<py::array>(obj)
                                                 : py::array(np.attr("asarray")(obj));
  py::dtype dt = arr.dtype();
  const int32_t code = code_of(dt);
  if (code < 0) throw ValueError("no ONNX element type for numpy dtype " + dtype_text(dt));
  if (code == kString) return strings_from(arr);

  if (!native_order(dt)) {
    arr = py::array(arr.attr("astype")(dt.attr("newbyteorder")("=")));
  }
  const int flags = arr.flags();
  const bool in_place =
      (flags & py::array::c_style) && (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_);
  if (!in_place) arr = py::array(np.attr("ascontiguousarray")(arr));
  const bool readonly = !arr.writeable();
  Extents shape(arr.shape(), arr.shape() + arr.ndim());
  const void* data = arr.data();
  return NdArray::from_external(code, std::move(shape), python_owner(arr), data, readonly);
}

}  // namespace tarq::py_face
