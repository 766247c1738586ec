// Messages crossing the boundary: arguments (views or messages of the `onnx`
// Python package, which carries its own protobuf runtime and is reached only
// through its wire format), to_onnx, and the private factory _parse_message.
#include <climits>
#include <vector>

#include "messages/view_types.h"

namespace tarq::py_face {

namespace {

std::string foreign_type_name(py::handle obj) {
  return obj.attr("DESCRIPTOR").attr("full_name").cast<std::string>();
}

[[noreturn]] void wrong_type(const char* what, const Descriptor* expected, const std::string& got) {
  throw py::type_error(std::string("Parameter to ") + what + " must be a message of type " +
                       expected->full_name() + ", got " + got);
}

std::unique_ptr<Message> new_message(const std::string& full_name) {
  const Message* proto = prototype_by_name(full_name);
  if (!proto) throw py::type_error("unknown message type " + full_name);
  return std::unique_ptr<Message>(proto->New());
}

std::unique_ptr<Message> copy_foreign(py::handle obj, const Descriptor* expected,
                                      const char* what) {
  std::string name = foreign_type_name(obj);
  if (expected && name != expected->full_name()) wrong_type(what, expected, name);
  std::unique_ptr<Message> m = new_message(name);
  py::bytes data = obj.attr("SerializeToString")();
  char* buf = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data.ptr(), &buf, &size) < 0) throw py::error_already_set();
  if (size > INT_MAX || !m->ParseFromArray(buf, static_cast<int>(size)))
    throw py::value_error("cannot read the " + name + " message given to " + what);
  return m;
}

// The class of the `onnx` package for a full message name, e.g.
// onnx.TensorProto.Segment -> onnx.TensorProto.Segment. Imported on first use.
py::object onnx_class(const std::string& full_name) {
  static PyObject* cache = nullptr;  // dict name -> class, kept for the process
  if (!cache) cache = py::dict().release().ptr();
  if (PyObject* hit = PyDict_GetItemString(cache, full_name.c_str()))
    return py::reinterpret_borrow<py::object>(hit);
  const std::string prefix = "onnx.";
  if (full_name.compare(0, prefix.size(), prefix) != 0)
    throw py::type_error(full_name + " is not a message type of the onnx package");
  std::vector<std::string> parts;
  for (size_t start = prefix.size();;) {
    size_t dot = full_name.find('.', start);
    parts.push_back(full_name.substr(start, dot == std::string::npos ? dot : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  for (const char* module :
       {"onnx", "onnx.onnx_ml_pb2", "onnx.onnx_data_pb2", "onnx.onnx_operators_ml_pb2"}) {
    py::object scope = py::module_::import(module);
    bool found = true;
    for (const std::string& part : parts) {
      if (!py::hasattr(scope, part.c_str())) {
        found = false;
        break;
      }
      scope = scope.attr(part.c_str());
    }
    if (found) {
      PyDict_SetItemString(cache, full_name.c_str(), scope.ptr());
      return scope;
    }
  }
  throw py::type_error("the onnx package has no message type " + full_name);
}

}  // namespace

bool is_foreign_message(py::handle obj) {
  if (is_message_view(obj) || PyType_Check(obj.ptr())) return false;
  if (!py::hasattr(obj, "SerializeToString") || !py::hasattr(obj, "DESCRIPTOR")) return false;
  return py::hasattr(obj.attr("DESCRIPTOR"), "full_name");
}

std::unique_ptr<Message> detached_copy(py::handle obj, const Descriptor* expected,
                                       const char* what) {
  if (is_message_view(obj)) {
    MessageView& v = view_of(obj);
    if (expected && v.desc != expected) wrong_type(what, expected, v.desc->full_name());
    const Message& src = checked_depth(v.read());
    std::unique_ptr<Message> copy(src.New());
    copy->CopyFrom(src);
    return copy;
  }
  if (is_foreign_message(obj)) return copy_foreign(obj, expected, what);
  throw py::type_error(std::string("Expected a message object for ") + what + ", but got " +
                       py::repr(obj).cast<std::string>() + ".");
}

const Message* message_for_reading(py::handle obj, const Descriptor* expected, const char* what,
                                   std::unique_ptr<Message>* holder) {
  if (is_message_view(obj)) {
    MessageView& v = view_of(obj);
    if (expected && v.desc != expected) wrong_type(what, expected, v.desc->full_name());
    return &checked_depth(v.read());
  }
  *holder = detached_copy(obj, expected, what);
  return holder->get();
}

MessageArg message_arg(py::handle obj, const Descriptor* expected, bool check_depth) {
  if (is_message_view(obj)) {
    MessageView& v = view_of(obj);
    if (expected && v.desc != expected) wrong_type("this call", expected, v.desc->full_name());
    if (Message* m = v.existing()) {
      if (check_depth) checked_depth(*m);
      return MessageArg{v.owner, m, false};
    }
    auto owner = std::make_shared<MessageOwner>(new_message(v.desc->full_name()));
    return MessageArg{owner, &owner->root(), true};
  }
  auto owner = std::make_shared<MessageOwner>(detached_copy(obj, expected, "this call"));
  return MessageArg{owner, &owner->root(), true};
}

void bind_message_functions(py::module_& m) {
  m.def(
      "to_onnx",
      [](py::handle obj) -> py::object {
        if (is_foreign_message(obj)) return py::reinterpret_borrow<py::object>(obj);
        if (!is_message_view(obj)) {
          throw py::type_error("to_onnx() takes a message view, not " +
                               std::string(Py_TYPE(obj.ptr())->tp_name));
        }
        MessageView& v = view_of(obj);
        py::object cls = onnx_class(v.desc->full_name());
        return cls.attr("FromString")(serialize(v.read(), false));
      },
      py::arg("view"),
      "The equivalent message of the `onnx` package (a copy). A message that already is one is "
      "returned as is.");
  m.def(
      "_parse_message",
      [](const std::string& type_name, py::bytes data) {
        std::unique_ptr<Message> msg;
        try {
          msg = new_message(type_name);
        } catch (const py::type_error&) {
          throw py::value_error("unknown message type " + type_name);
        }
        char* buf = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(data.ptr(), &buf, &size) < 0) throw py::error_already_set();
        if (size > INT_MAX || !msg->ParseFromArray(buf, static_cast<int>(size)))
          throw py::value_error("Error parsing message with type '" + type_name + "'");
        return wrap_new_message(std::move(msg));
      },
      py::arg("type_name"), py::arg("data") = py::bytes(),
      "A view of a new standalone message of the named type parsed from `data`.");
}

}  // namespace tarq::py_face
