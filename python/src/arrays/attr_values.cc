// Attribute values between Python and the core: the conversion make_attribute
// and set_attr share, and its inverse.
#include "arrays/attr_values.h"

#include <onnx/onnx_pb.h>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "arrays/numpy_convert.h"
#include "messages/message_view.h"

namespace tarq::py_face {

using google::protobuf::Descriptor;
using onnx::AttributeProto;

int64_t as_int64(py::handle v, const char* what) {
  PyObject* index = PyNumber_Index(v.ptr());
  if (!index) throw py::error_already_set();
  int overflow = 0;
  const long long r = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (overflow) {
    throw py::value_error(std::string(what) + " " + py::str(v).cast<std::string>() +
                          " is out of the 64-bit range");
  }
  if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
  return r;
}

std::string string_arg(py::handle s, const char* what) {
  if (PyUnicode_Check(s.ptr()) || PyBytes_Check(s.ptr())) {
    return py::cast<std::string>(s);
  }
  throw py::type_error(std::string(what) + " must be str or bytes, not " +
                       py::type::of(s).attr("__name__").cast<std::string>());
}

namespace {

// A protobuf message: one of our views or a message of the `onnx` package.
bool is_message(py::handle obj) {
  if (is_message_view(obj)) return true;
  if (PyType_Check(obj.ptr())) return false;
  return py::hasattr(obj, "DESCRIPTOR") && py::hasattr(obj, "SerializeToString");
}

// Python values of make_attribute, and the messages they point to, kept alive
// for the duration of the call.
class AttrConverter {
 public:
  explicit AttrConverter(const std::string& key) : key_(key) {
    py::module_ numbers = py::module_::import("numbers");
    integral_ = numbers.attr("Integral");
    real_ = numbers.attr("Real");
  }

  AttrValue convert(py::handle value, std::optional<int32_t> attr_type) {
    if (is_integral(value)) return as_int64(value, "attribute value");
    if (is_real(value))
      return py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(value)));
    if (PyUnicode_Check(value.ptr())) return py::cast<std::string>(value);
    if (PyBytes_Check(value.ptr())) return Bytes{py::cast<std::string>(value)};
    if (is_message(value)) {
      const google::protobuf::Message* m = message(value);
      const Descriptor* d = m->GetDescriptor();
      if (d == onnx::TensorProto::descriptor()) return static_cast<const onnx::TensorProto*>(m);
      if (d == onnx::SparseTensorProto::descriptor()) {
        return static_cast<const onnx::SparseTensorProto*>(m);
      }
      if (d == onnx::GraphProto::descriptor()) return static_cast<const onnx::GraphProto*>(m);
      if (d == onnx::TypeProto::descriptor()) return static_cast<const onnx::TypeProto*>(m);
      not_accepted(value);
    }
    if (py::isinstance(value, py::module_::import("collections.abc").attr("Iterable"))) {
      return convert_list(py::list(py::reinterpret_borrow<py::object>(value)), attr_type);
    }
    not_accepted(value);
  }

  const std::vector<OwnerPtr>& owners() const { return owners_; }

 private:
  [[noreturn]] void not_accepted(py::handle value) {
    throw py::type_error("'" + py::str(value).cast<std::string>() +
                         "' is not an accepted attribute value.");
  }
  bool is_integral(py::handle v) { return py::isinstance(v, integral_); }
  bool is_real(py::handle v) { return py::isinstance(v, real_); }
  bool is_text(py::handle v) { return PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()); }

  // The message of a view or `onnx` message, copied in at most once per call
  // (the Python objects outlive the call, so their addresses are stable keys).
  const google::protobuf::Message* message(py::handle obj) {
    auto hit = seen_.find(obj.ptr());
    if (hit != seen_.end()) return hit->second;
    MessageArg a = message_arg(obj, nullptr);
    owners_.push_back(a.owner);
    seen_.emplace(obj.ptr(), a.msg);
    return a.msg;
  }
  // The list type of a message, or -1.
  int32_t message_list_type(py::handle v) {
    if (!is_message(v)) return -1;
    const Descriptor* d = message(v)->GetDescriptor();
    if (d == onnx::TensorProto::descriptor()) return AttributeProto::TENSORS;
    if (d == onnx::SparseTensorProto::descriptor()) return AttributeProto::SPARSE_TENSORS;
    if (d == onnx::GraphProto::descriptor()) return AttributeProto::GRAPHS;
    if (d == onnx::TypeProto::descriptor()) return AttributeProto::TYPE_PROTOS;
    return -1;
  }

  int32_t infer_list_type(const py::list& items) {
    auto all = [&](auto&& pred) {
      for (py::handle v : items) {
        if (!pred(v)) return false;
      }
      return true;
    };
    if (all([&](py::handle v) { return is_integral(v); })) return AttributeProto::INTS;
    if (all([&](py::handle v) { return is_real(v); })) return AttributeProto::FLOATS;
    if (all([&](py::handle v) { return is_text(v); })) return AttributeProto::STRINGS;
    const int32_t first = message_list_type(items[0]);
    if (first >= 0 && all([&](py::handle v) { return message_list_type(v) == first; })) {
      return first;
    }
    throw py::value_error(
        "Could not infer the attribute type from the elements of the passed Iterable value.");
  }

  template <class M>
  std::vector<const M*> messages_of(const py::list& items) {
    std::vector<const M*> out;
    for (py::handle v : items) {
      if (!is_message(v) || message(v)->GetDescriptor() != M::descriptor()) {
        throw py::type_error("attribute '" + key_ + "' expects " + M::descriptor()->full_name() +
                             " elements, got " + py::repr(v).cast<std::string>());
      }
      out.push_back(static_cast<const M*>(message(v)));
    }
    return out;
  }

  AttrValue convert_list(const py::list& items, std::optional<int32_t> attr_type) {
    if (items.empty()) return std::vector<int64_t>{};  // the core wants attr_type
    const int32_t type = attr_type ? *attr_type : infer_list_type(items);
    auto each = [&](auto&& pred, const char* what) {
      for (py::handle v : items) {
        if (!pred(v)) {
          throw py::type_error("attribute '" + key_ + "': " + py::repr(v).cast<std::string>() +
                               " is not " + what);
        }
      }
    };
    switch (type) {
      case AttributeProto::INTS: {
        each([&](py::handle v) { return is_integral(v); }, "an integer");
        std::vector<int64_t> out;
        for (py::handle v : items) out.push_back(as_int64(v, "attribute value"));
        return out;
      }
      case AttributeProto::FLOATS: {
        each([&](py::handle v) { return is_real(v); }, "a real number");
        std::vector<double> out;
        for (py::handle v : items)
          out.push_back(py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(v))));
        return out;
      }
      case AttributeProto::STRINGS: {
        each([&](py::handle v) { return is_text(v); }, "str or bytes");
        std::vector<Bytes> out;
        for (py::handle v : items) out.push_back(Bytes{string_arg(v, "a string attribute value")});
        return out;
      }
      case AttributeProto::TENSORS:
        return messages_of<onnx::TensorProto>(items);
      case AttributeProto::SPARSE_TENSORS:
        return messages_of<onnx::SparseTensorProto>(items);
      case AttributeProto::GRAPHS:
        return messages_of<onnx::GraphProto>(items);
      case AttributeProto::TYPE_PROTOS:
        return messages_of<onnx::TypeProto>(items);
      default:
        return std::vector<int64_t>{};  // the core refuses a list of this type
    }
  }

  std::string key_;
  py::object integral_, real_;
  std::vector<OwnerPtr> owners_;
  std::unordered_map<PyObject*, const google::protobuf::Message*> seen_;
};

}  // namespace

AttrArg attr_arg(py::handle value, const std::string& key, std::optional<int32_t> attr_type) {
  AttrConverter conv(key);
  AttrArg arg;
  arg.value = conv.convert(value, attr_type);
  arg.owners = conv.owners();
  return arg;
}

py::object attr_value_to_python(const AttrValue& value, const OwnerPtr& owner) {
  auto view = [&](const auto* m) {
    return wrap_message(owner,
                        const_cast<std::remove_const_t<std::remove_pointer_t<decltype(m)>>*>(m));
  };
  return std::visit(
      [&](const auto& v) -> py::object {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::monostate>) {
          return py::none();
        } else if constexpr (std::is_same_v<V, int64_t>) {
          return py::int_(v);
        } else if constexpr (std::is_same_v<V, double>) {
          return py::float_(v);
        } else if constexpr (std::is_same_v<V, std::string>) {
          return py::str(v);
        } else if constexpr (std::is_same_v<V, Bytes>) {
          return py::bytes(v.data);
        } else if constexpr (std::is_same_v<V, std::vector<int64_t>> ||
                             std::is_same_v<V, std::vector<double>>) {
          py::list out;
          for (auto x : v) out.append(x);
          return std::move(out);
        } else if constexpr (std::is_same_v<V, std::vector<std::string>>) {
          py::list out;
          for (const auto& x : v) out.append(py::str(x));
          return std::move(out);
        } else if constexpr (std::is_same_v<V, std::vector<Bytes>>) {
          py::list out;
          for (const auto& x : v) out.append(py::bytes(x.data));
          return std::move(out);
        } else if constexpr (std::is_same_v<V, NdArray>) {
          return to_numpy(v);
        } else if constexpr (std::is_pointer_v<V>) {
          return view(v);
        } else {
          py::list out;
          for (const auto* m : v) out.append(view(m));
          return std::move(out);
        }
      },
      value);
}

}  // namespace tarq::py_face
