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

#include "arrays/attr_values.h"
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

Extents extents_of(py::handle dims) {
  Extents out;
  for (py::handle d : py::iter(dims)) out.push_back(as_int64(d, "dimension"));
  return out;
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
  AttrArg arg = attr_arg(value, key, attr_type);
  return new_view(h::make_attribute(key, arg.value, doc_string, attr_type));
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
