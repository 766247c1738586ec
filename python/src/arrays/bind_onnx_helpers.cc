// The ONNX reference helpers on `tarq.api.ir_graph.companions`, with the
// signatures of the Python `onnx` package's functions of the same names.
// Arguments are converted here; the work is done by tarq::helpers.
#include <onnx/onnx_pb.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "arrays/numpy_convert.h"
#include "bindings.h"
#include "messages/message_view.h"
#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/errors.h"

namespace tarq::py_face {

namespace {

namespace h = tarq::helpers;
using google::protobuf::Descriptor;
using onnx::AttributeProto;

template <class M>
py::object new_view(M&& msg) {
  return wrap_new_message(std::make_unique<std::decay_t<M>>(std::forward<M>(msg)));
}

// An integer argument (anything with __index__): TypeError for other kinds,
// ValueError out of the 64-bit range, as protobuf's own fields do.
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

Extents extents_of(py::handle dims) {
  Extents out;
  for (py::handle d : py::iter(dims)) out.push_back(as_int64(d, "dimension"));
  return out;
}

std::string string_arg(py::handle s, const char* what) {
  if (PyUnicode_Check(s.ptr()) || PyBytes_Check(s.ptr())) {
    return py::cast<std::string>(s);
  }
  throw py::type_error(std::string(what) + " must be str or bytes, not " +
                       py::type::of(s).attr("__name__").cast<std::string>());
}

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

NdArray string_values(py::handle vals) {
  py::module_ np = py::module_::import("numpy");
  return from_numpy(np.attr("array")(vals, py::arg("dtype") = "object").attr("ravel")());
}

py::object make_tensor(const std::string& name, int32_t data_type, py::handle dims, py::handle vals,
                       bool raw) {
  const Extents extents = extents_of(dims);
  if (data_type == kString && raw)
    throw py::type_error("Can not use raw_data to store string type.");
  if (raw) {
    if (PyBytes_Check(vals.ptr())) {
      return new_view(h::make_tensor_raw(name, data_type, extents, py::cast<std::string>(vals)));
    }
    if (!py::isinstance<py::array>(vals)) {
      throw py::type_error("Raw data must be bytes or numpy.ndarray, but got " +
                           py::type::of(vals).attr("__name__").cast<std::string>() + ".");
    }
    return new_view(h::make_tensor(name, data_type, extents, from_numpy(vals), true));
  }
  const NdArray values = data_type == kString ? string_values(vals) : from_numpy(vals);
  return new_view(h::make_tensor(name, data_type, extents, values, false));
}

py::object make_attribute(const std::string& key, py::handle value,
                          std::optional<std::string> doc_string, std::optional<int32_t> attr_type) {
  AttrConverter conv(key);
  AttrValue v = conv.convert(value, attr_type);
  return new_view(h::make_attribute(key, v, doc_string, attr_type));
}

py::object make_tensor_value_info(const std::string& name, int32_t elem_type, py::handle shape,
                                  const std::string& doc_string, py::handle shape_denotation) {
  std::optional<Shape> dims;
  if (!shape.is_none()) {
    dims.emplace();
    for (py::handle d : py::iter(shape)) {
      if (d.is_none()) {
        dims->emplace_back(std::monostate{});
      } else if (PyLong_Check(d.ptr())) {
        dims->emplace_back(as_int64(d, "dimension"));
      } else if (PyUnicode_Check(d.ptr())) {
        dims->emplace_back(py::cast<std::string>(d));
      } else {
        throw py::value_error("Invalid item in shape: " + py::str(d).cast<std::string>() +
                              ". Needs to be of int or str.");
      }
    }
  }
  std::optional<std::vector<std::string>> denotation;
  if (!shape_denotation.is_none()) {
    denotation.emplace();
    for (py::handle d : py::iter(shape_denotation)) denotation->push_back(py::cast<std::string>(d));
  }
  return new_view(h::make_tensor_value_info(name, elem_type, dims, doc_string, denotation));
}

py::object make_model(py::handle graph, const py::kwargs& kwargs) {
  OwnerPtr graph_owner;
  const auto* g = message_arg_as<onnx::GraphProto>(graph, &graph_owner);
  h::ModelOptions options;
  std::vector<MessageArg> opsets, functions;
  for (auto item : kwargs) {
    const std::string k = py::cast<std::string>(item.first);
    py::handle v = item.second;
    if (k == "ir_version") {
      options.ir_version = as_int64(v, "ir_version");
    } else if (k == "opset_imports") {
      if (v.is_none()) continue;
      for (py::handle o : py::iter(v)) {
        opsets.push_back(message_arg(o, onnx::OperatorSetIdProto::descriptor()));
      }
      options.opset_imports.emplace();  // the given messages replace the default
    } else if (k == "functions") {
      if (v.is_none()) continue;
      for (py::handle f : py::iter(v)) {
        functions.push_back(message_arg(f, onnx::FunctionProto::descriptor()));
      }
    } else if (k == "producer_name") {
      options.producer_name = py::cast<std::string>(v);
    } else if (k == "producer_version") {
      options.producer_version = py::cast<std::string>(v);
    } else if (k == "domain") {
      options.domain = py::cast<std::string>(v);
    } else if (k == "doc_string") {
      options.doc_string = py::cast<std::string>(v);
    } else if (k == "model_version") {
      options.model_version = as_int64(v, "model_version");
    } else {
      throw py::attribute_error("make_model: ModelProto has no settable field '" + k + "'");
    }
  }
  onnx::ModelProto model = h::make_model(*g, options);
  for (const auto& o : opsets) model.add_opset_import()->CopyFrom(*o.msg);
  for (const auto& f : functions) model.add_functions()->CopyFrom(*f.msg);
  return new_view(std::move(model));
}

}  // namespace

void bind_onnx_helpers(py::module_& m) {
  m.def("make_tensor", &make_tensor, py::arg("name"), py::arg("data_type"), py::arg("dims"),
        py::arg("vals"), py::arg("raw") = false,
        "A TensorProto holding `vals` in the field its data type uses (raw_data when `raw`).");
  m.def("make_attribute", &make_attribute, py::arg("key"), py::arg("value"),
        py::arg("doc_string") = py::none(), py::arg("attr_type") = py::none(),
        "An AttributeProto whose type is inferred from `value`.");
  m.def("make_tensor_value_info", &make_tensor_value_info, py::arg("name"), py::arg("elem_type"),
        py::arg("shape"), py::arg("doc_string") = "", py::arg("shape_denotation") = py::none(),
        "A tensor ValueInfoProto; shape items are int, str or None.");
  m.def("make_model", &make_model, py::arg("graph"),
        "A ModelProto around a copy of `graph`; keyword arguments set model fields.");
  m.def(
      "get_attribute_value",
      [](py::handle attr) {
        OwnerPtr owner;
        const auto* a = message_arg_as<AttributeProto>(attr, &owner);
        return attr_value_to_python(h::get_attribute_value(*a), owner);
      },
      py::arg("attr"), "The value of an AttributeProto (STRING as bytes, messages as views).");
  m.def(
      "to_array",
      [](py::handle tensor, const std::string& base_dir) {
        OwnerPtr owner;
        const auto* t = message_arg_as<onnx::TensorProto>(tensor, &owner);
        return to_numpy(h::to_array(*t, base_dir));
      },
      py::arg("tensor"), py::arg("base_dir") = "",
      "The values of a TensorProto as a new numpy array.");
  m.def(
      "from_array",
      [](py::handle array, std::optional<std::string> name) {
        return new_view(h::from_array(from_numpy(array), name));
      },
      py::arg("array"), py::pos_only(), py::arg("name") = py::none(),
      "A TensorProto holding the array in raw_data (strings in string_data).");
  m.def(
      "uses_external_data",
      [](py::handle tensor) {
        OwnerPtr owner;
        return h::uses_external_data(*message_arg_as<onnx::TensorProto>(tensor, &owner));
      },
      py::arg("tensor"), "True when the tensor's data lives in an external file.");
  m.def(
      "load_external_data_for_tensor",
      [](py::handle tensor, const std::string& base_dir) {
        MessageArg a = message_arg(tensor, onnx::TensorProto::descriptor());
        auto* t = static_cast<onnx::TensorProto*>(a.msg);
        h::load_external_data_for_tensor(*t, base_dir, a.owner.get());
        // A message that was copied in gets the result written back.
        if (a.copied) tensor.attr("ParseFromString")(py::bytes(t->SerializeAsString()));
      },
      py::arg("tensor"), py::arg("base_dir"),
      "Reads the tensor's external data (only from regular files inside base_dir) into raw_data.");
}

}  // namespace tarq::py_face
