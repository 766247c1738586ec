// Python <-> protobuf scalar values, with the checks of protobuf's own Python
// classes: integers through __index__ (floats and strings are TypeError),
// range checks as ValueError, closed enums refuse unknown numbers, string
// fields take str (or UTF-8 bytes), bytes fields take bytes, bytearray or
// memoryview (not numbers or arrays, which also export buffers).
#include <cfloat>
#include <climits>
#include <cmath>

#include "messages/view_types.h"

namespace tarq::py_face {

namespace {

using CppType = FieldDescriptor::CppType;

[[noreturn]] void out_of_range(py::handle v) {
  throw py::value_error("Value out of range: " + py::str(v).cast<std::string>());
}

// Integers of every width, through __index__ like protobuf (True is 1).
void read_integer(const FieldDescriptor* f, py::handle v, ScalarValue* out) {
  auto index = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
  if (!index) throw py::error_already_set();
  const CppType t = f->cpp_type();
  if (t == FieldDescriptor::CPPTYPE_UINT32 || t == FieldDescriptor::CPPTYPE_UINT64) {
    unsigned long long x = PyLong_AsUnsignedLongLong(index.ptr());
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();  // negative or too large
      out_of_range(v);
    }
    if (t == FieldDescriptor::CPPTYPE_UINT32 && x > UINT32_MAX) out_of_range(v);
    out->u = x;
    return;
  }
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow) out_of_range(v);
  if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
  if ((t == FieldDescriptor::CPPTYPE_INT32 || t == FieldDescriptor::CPPTYPE_ENUM) &&
      (x < INT32_MIN || x > INT32_MAX))
    out_of_range(v);
  out->i = x;
}

void read_enum(const FieldDescriptor* f, py::handle v, ScalarValue* out) {
  const auto* type = f->enum_type();
  if (PyUnicode_Check(v.ptr())) {
    const auto* value = type->FindValueByName(v.cast<std::string>());
    if (!value) {
      throw py::value_error("unknown enum label \"" + v.cast<std::string>() + "\" for " +
                            type->full_name());
    }
    out->i = value->number();
    return;
  }
  read_integer(f, v, out);
  // Enums of proto2 files are closed: an unknown number is refused rather
  // than stored among the unknown fields.
  if (type->file()->syntax() != google::protobuf::FileDescriptor::SYNTAX_PROTO3 &&
      !type->FindValueByNumber(static_cast<int>(out->i)))
    throw py::value_error("invalid enumerator " + std::to_string(out->i) + " for " +
                          type->full_name());
}

void read_string(const FieldDescriptor* f, py::handle v, std::string* out) {
  PyObject* o = v.ptr();
  if (f->type() == FieldDescriptor::TYPE_BYTES) {
    if (PyBytes_Check(o)) {
      out->assign(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
      return;
    }
    if (PyByteArray_Check(o) || PyMemoryView_Check(o)) {
      py::buffer_info info = py::reinterpret_borrow<py::buffer>(v).request();
      if (!PyBuffer_IsContiguous(info.view(), 'C'))
        throw py::type_error("bytes field " + f->name() + " needs a contiguous buffer");
      out->assign(static_cast<const char*>(info.ptr),
                  static_cast<size_t>(info.size * info.itemsize));
      return;
    }
    throw py::type_error("expected bytes, " + std::string(Py_TYPE(o)->tp_name) + " found");
  }
  if (PyUnicode_Check(o)) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(o, &n)) {
      out->assign(s, static_cast<size_t>(n));
      return;
    }
    // Lone surrogates: strings read from a model with invalid UTF-8 carry its
    // bytes as surrogate escapes, and write them back unchanged.
    PyErr_Clear();
    auto b =
        py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(o, "utf-8", "surrogateescape"));
    if (!b) throw py::error_already_set();
    out->assign(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
    return;
  }
  if (PyBytes_Check(o)) {
    // Same rule as protobuf: bytes given for a string field must be UTF-8.
    auto check = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o), nullptr));
    if (!check) throw py::error_already_set();
    out->assign(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
    return;
  }
  throw py::type_error("expected str or bytes for field " + f->name() + ", " +
                       std::string(Py_TYPE(o)->tp_name) + " found");
}

py::object string_to_py(const FieldDescriptor* f, const std::string& s) {
  PyObject* o =
      f->type() == FieldDescriptor::TYPE_BYTES
          ? PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))
          : PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

}  // namespace

ScalarValue to_scalar(const FieldDescriptor* f, py::handle v) {
  ScalarValue out;
  switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
    case FieldDescriptor::CPPTYPE_INT64:
    case FieldDescriptor::CPPTYPE_UINT32:
    case FieldDescriptor::CPPTYPE_UINT64:
      read_integer(f, v, &out);
      break;
    case FieldDescriptor::CPPTYPE_BOOL:
      read_integer(f, v, &out);  // int64 path: any integer, nonzero is true
      break;
    case FieldDescriptor::CPPTYPE_ENUM:
      read_enum(f, v, &out);
      break;
    case FieldDescriptor::CPPTYPE_DOUBLE:
    case FieldDescriptor::CPPTYPE_FLOAT: {
      if (PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()))
        throw py::type_error(std::string("must be real number, not ") + Py_TYPE(v.ptr())->tp_name);
      double d = PyFloat_AsDouble(v.ptr());
      if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
      if (f->cpp_type() == FieldDescriptor::CPPTYPE_FLOAT && std::isfinite(d) &&
          std::fabs(d) > FLT_MAX)
        d = std::copysign(HUGE_VAL, d);  // protobuf stores an overflowing float as inf
      out.d = d;
      break;
    }
    case FieldDescriptor::CPPTYPE_STRING:
      read_string(f, v, &out.s);
      break;
    case FieldDescriptor::CPPTYPE_MESSAGE:
      throw py::type_error("field " + f->name() + " holds a message");
  }
  return out;
}

void set_scalar(Message* m, const FieldDescriptor* f, const ScalarValue& v) {
  const Reflection* r = m->GetReflection();
  switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
      r->SetInt32(m, f, static_cast<int32_t>(v.i));
      break;
    case FieldDescriptor::CPPTYPE_INT64:
      r->SetInt64(m, f, v.i);
      break;
    case FieldDescriptor::CPPTYPE_UINT32:
      r->SetUInt32(m, f, static_cast<uint32_t>(v.u));
      break;
    case FieldDescriptor::CPPTYPE_UINT64:
      r->SetUInt64(m, f, v.u);
      break;
    case FieldDescriptor::CPPTYPE_BOOL:
      r->SetBool(m, f, v.i != 0);
      break;
    case FieldDescriptor::CPPTYPE_ENUM:
      r->SetEnumValue(m, f, static_cast<int>(v.i));
      break;
    case FieldDescriptor::CPPTYPE_DOUBLE:
      r->SetDouble(m, f, v.d);
      break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      r->SetFloat(m, f, static_cast<float>(v.d));
      break;
    case FieldDescriptor::CPPTYPE_STRING:
      r->SetString(m, f, v.s);
      break;
    case FieldDescriptor::CPPTYPE_MESSAGE:
      break;
  }
}

void set_scalar_element(Message* m, const FieldDescriptor* f, int i, const ScalarValue& v) {
  const Reflection* r = m->GetReflection();
  switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
      r->SetRepeatedInt32(m, f, i, static_cast<int32_t>(v.i));
      break;
    case FieldDescriptor::CPPTYPE_INT64:
      r->SetRepeatedInt64(m, f, i, v.i);
      break;
    case FieldDescriptor::CPPTYPE_UINT32:
      r->SetRepeatedUInt32(m, f, i, static_cast<uint32_t>(v.u));
      break;
    case FieldDescriptor::CPPTYPE_UINT64:
      r->SetRepeatedUInt64(m, f, i, v.u);
      break;
    case FieldDescriptor::CPPTYPE_BOOL:
      r->SetRepeatedBool(m, f, i, v.i != 0);
      break;
    case FieldDescriptor::CPPTYPE_ENUM:
      r->SetRepeatedEnumValue(m, f, i, static_cast<int>(v.i));
      break;
    case FieldDescriptor::CPPTYPE_DOUBLE:
      r->SetRepeatedDouble(m, f, i, v.d);
      break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      r->SetRepeatedFloat(m, f, i, static_cast<float>(v.d));
      break;
    case FieldDescriptor::CPPTYPE_STRING:
      r->SetRepeatedString(m, f, i, v.s);
      break;
    case FieldDescriptor::CPPTYPE_MESSAGE:
      break;
  }
}

void add_scalar(Message* m, const FieldDescriptor* f, const ScalarValue& v) {
  const Reflection* r = m->GetReflection();
  switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
      r->AddInt32(m, f, static_cast<int32_t>(v.i));
      break;
    case FieldDescriptor::CPPTYPE_INT64:
      r->AddInt64(m, f, v.i);
      break;
    case FieldDescriptor::CPPTYPE_UINT32:
      r->AddUInt32(m, f, static_cast<uint32_t>(v.u));
      break;
    case FieldDescriptor::CPPTYPE_UINT64:
      r->AddUInt64(m, f, v.u);
      break;
    case FieldDescriptor::CPPTYPE_BOOL:
      r->AddBool(m, f, v.i != 0);
      break;
    case FieldDescriptor::CPPTYPE_ENUM:
      r->AddEnumValue(m, f, static_cast<int>(v.i));
      break;
    case FieldDescriptor::CPPTYPE_DOUBLE:
      r->AddDouble(m, f, v.d);
      break;
    case FieldDescriptor::CPPTYPE_FLOAT:
      r->AddFloat(m, f, static_cast<float>(v.d));
      break;
    case FieldDescriptor::CPPTYPE_STRING:
      r->AddString(m, f, v.s);
      break;
    case FieldDescriptor::CPPTYPE_MESSAGE:
      break;
  }
}

py::object get_scalar(const Message& m, const FieldDescriptor* f) {
  const Reflection* r = m.GetReflection();
  switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
      return py::int_(r->GetInt32(m, f));
    case FieldDescriptor::CPPTYPE_INT64:
      return py::int_(r->GetInt64(m, f));
    case FieldDescriptor::CPPTYPE_UINT32:
      return py::int_(r->GetUInt32(m, f));
    case FieldDescriptor::CPPTYPE_UINT64:
      return py::int_(r->GetUInt64(m, f));
    case FieldDescriptor::CPPTYPE_BOOL:
      return py::bool_(r->GetBool(m, f));
    case FieldDescriptor::CPPTYPE_ENUM:
      return py::int_(r->GetEnumValue(m, f));
    case FieldDescriptor::CPPTYPE_DOUBLE:
      return py::float_(r->GetDouble(m, f));
    case FieldDescriptor::CPPTYPE_FLOAT:
      return py::float_(static_cast<double>(r->GetFloat(m, f)));
    case FieldDescriptor::CPPTYPE_STRING: {
      std::string scratch;
      return string_to_py(f, r->GetStringReference(m, f, &scratch));
    }
    case FieldDescriptor::CPPTYPE_MESSAGE:
      break;
  }
  throw py::type_error("field " + f->name() + " holds a message");
}

py::object get_scalar_element(const Message& m, const FieldDescriptor* f, int i) {
  const Reflection* r = m.GetReflection();
  switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
      return py::int_(r->GetRepeatedInt32(m, f, i));
    case FieldDescriptor::CPPTYPE_INT64:
      return py::int_(r->GetRepeatedInt64(m, f, i));
    case FieldDescriptor::CPPTYPE_UINT32:
      return py::int_(r->GetRepeatedUInt32(m, f, i));
    case FieldDescriptor::CPPTYPE_UINT64:
      return py::int_(r->GetRepeatedUInt64(m, f, i));
    case FieldDescriptor::CPPTYPE_BOOL:
      return py::bool_(r->GetRepeatedBool(m, f, i));
    case FieldDescriptor::CPPTYPE_ENUM:
      return py::int_(r->GetRepeatedEnumValue(m, f, i));
    case FieldDescriptor::CPPTYPE_DOUBLE:
      return py::float_(r->GetRepeatedDouble(m, f, i));
    case FieldDescriptor::CPPTYPE_FLOAT:
      return py::float_(static_cast<double>(r->GetRepeatedFloat(m, f, i)));
    case FieldDescriptor::CPPTYPE_STRING: {
      std::string scratch;
      return string_to_py(f, r->GetRepeatedStringReference(m, f, i, &scratch));
    }
    case FieldDescriptor::CPPTYPE_MESSAGE:
      break;
  }
  throw py::type_error("field " + f->name() + " holds messages");
}

}  // namespace tarq::py_face
