// The protobuf methods of MessageView, and the tree surgery they share with
// the lists: every path that would destroy a sub-message parks it instead
// (see message_owner.h), so views of what was removed stay usable.
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>

#include <climits>

#include "messages/view_types.h"
#include "tarq/api/ir_graph/nesting.h"

namespace tarq::py_face {

namespace {

// Bytes-like arguments (bytes, bytearray, memoryview) without copying.
struct ByteSpan {
  const char* data = nullptr;
  size_t size = 0;
  py::buffer_info info;  // keeps a buffer export alive
};

ByteSpan byte_span(py::handle obj) {
  ByteSpan span;
  if (PyBytes_Check(obj.ptr())) {
    span.data = PyBytes_AS_STRING(obj.ptr());
    span.size = static_cast<size_t>(PyBytes_GET_SIZE(obj.ptr()));
    return span;
  }
  if (!PyObject_CheckBuffer(obj.ptr()) || PyUnicode_Check(obj.ptr()))
    throw py::type_error(std::string("expected bytes, ") + Py_TYPE(obj.ptr())->tp_name + " found");
  span.info = py::reinterpret_borrow<py::buffer>(obj).request();
  if (!PyBuffer_IsContiguous(span.info.view(), 'C'))
    throw py::type_error("expected a contiguous bytes-like object");
  span.data = static_cast<const char*>(span.info.ptr);
  span.size = static_cast<size_t>(span.info.size * span.info.itemsize);
  return span;
}

// A new message of `desc` holding the parsed `data`; the target never changes
// on failure because the caller swaps the result in only on success.
std::unique_ptr<Message> parse_new(const Descriptor* desc, py::handle data, size_t* size) {
  ByteSpan span = byte_span(data);
  *size = span.size;
  if (span.size > static_cast<size_t>(INT_MAX))
    throw py::value_error("cannot parse more than 2 GiB into one message");
  std::unique_ptr<Message> m(
      google::protobuf::MessageFactory::generated_factory()->GetPrototype(desc)->New());
  bool ok;
  {
    py::gil_scoped_release unlocked;  // `m` is private and the buffer export is held
    ok = m->ParseFromArray(span.data, static_cast<int>(span.size));
  }
  if (!ok) throw py::value_error("Error parsing message with type '" + desc->full_name() + "'");
  return m;
}

// Before a merge: a oneof whose member differs between `to` and `from`
// switches member, which frees the old one; park it first. Singular
// sub-messages present in both are merged in place, so recurse into them.
void park_merge_conflicts(const OwnerPtr& owner, Message* to, const Message& from) {
  const Descriptor* desc = to->GetDescriptor();
  const Reflection* r = to->GetReflection();
  for (int i = 0; i < desc->oneof_decl_count(); ++i) {
    const auto* oneof = desc->oneof_decl(i);
    const FieldDescriptor* now = r->GetOneofFieldDescriptor(*to, oneof);
    const FieldDescriptor* incoming = r->GetOneofFieldDescriptor(from, oneof);
    if (now && incoming && now != incoming && now->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE)
      owner->park(std::unique_ptr<Message>(r->ReleaseMessage(to, now)));
  }
  for (int i = 0; i < desc->field_count(); ++i) {
    const FieldDescriptor* f = desc->field(i);
    if (f->is_repeated() || f->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) continue;
    if (r->HasField(*to, f) && r->HasField(from, f))
      park_merge_conflicts(owner, r->MutableMessage(to, f), r->GetMessage(from, f));
  }
}

// Clears one field of `m`, parking any message it held.
void clear_field(const OwnerPtr& owner, Message* m, const FieldDescriptor* f) {
  const Reflection* r = m->GetReflection();
  if (f->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) {
    r->ClearField(m, f);
  } else if (f->is_repeated()) {
    for (int n = r->FieldSize(*m, f); n > 0; --n)
      owner->park(std::unique_ptr<Message>(r->ReleaseLast(m, f)));
  } else if (r->HasField(*m, f)) {
    owner->park(std::unique_ptr<Message>(r->ReleaseMessage(m, f)));
  }
}

[[noreturn]] void no_such_field(const Descriptor* desc, const std::string& name) {
  throw py::value_error("Protocol message " + desc->name() + " has no \"" + name + "\" field.");
}

std::string type_name_of(py::handle obj) {
  if (is_message_view(obj)) return view_of(obj).desc->full_name();
  return obj.attr("DESCRIPTOR").attr("full_name").cast<std::string>();
}

// ---- the Python attribute slots of MessageView ----
//
// Fields are looked up before the class attributes (methods), which keeps
// `node.op_type` at one dict lookup; no ONNX field shares a method's name.

PyObject* view_getattro(PyObject* self, PyObject* name) {
  try {
    MessageView& v = view_of(self);
    if (const FieldDescriptor* f = find_field(v.desc, name)) return get_field(v, f).release().ptr();
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
  return PyObject_GenericGetAttr(self, name);
}

int view_setattro(PyObject* self, PyObject* name, PyObject* value) {
  try {
    MessageView& v = view_of(self);
    const FieldDescriptor* f = find_field(v.desc, name);
    if (!f) {
      throw py::attribute_error("Protocol message " + v.desc->name() + " has no \"" +
                                py::str(name).cast<std::string>() + "\" field.");
    }
    if (!value) {
      throw py::attribute_error("cannot delete field \"" + f->name() + "\"; use ClearField");
    }
    set_field(v, f, value);
    return 0;
  } catch (...) {
    py::detail::try_translate_exceptions();
    return -1;
  }
}

}  // namespace

bool has_submessages(const Message& m) {
  std::vector<const FieldDescriptor*> fields;
  m.GetReflection()->ListFields(m, &fields);
  for (const FieldDescriptor* f : fields)
    if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) return true;
  return false;
}

void replace_contents(const OwnerPtr& owner, Message* target, std::unique_ptr<Message> repl) {
  owner->release_viewed_bytes(target);
  // Both live on the heap, so Swap exchanges sub-message pointers: views of
  // the old sub-messages follow them into the parked message.
  target->GetReflection()->Swap(target, repl.get());
  if (has_submessages(*repl)) owner->park(std::move(repl));
}

void park_oneof_rival(const OwnerPtr& owner, Message* m, const FieldDescriptor* f) {
  const auto* oneof = f->real_containing_oneof();
  if (!oneof) return;
  const Reflection* r = m->GetReflection();
  const FieldDescriptor* now = r->GetOneofFieldDescriptor(*m, oneof);
  if (now && now != f && now->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE)
    owner->park(std::unique_ptr<Message>(r->ReleaseMessage(m, now)));
}

bool messages_equal(const Message& a, const Message& b) {
  if (&a == &b) return true;
  if (a.GetDescriptor() != b.GetDescriptor()) return false;
  return google::protobuf::util::MessageDifferencer::Equals(checked_depth(a), checked_depth(b));
}

const Message& checked_depth(const Message& m) {
  check_nesting(m, ("the " + m.GetDescriptor()->name() + " message").c_str());
  return m;
}

std::string text_format(const Message& m) {
  checked_depth(m);
  // Like the str() of protobuf's Python messages: string fields print their
  // UTF-8 as is, bytes fields escaped.
  google::protobuf::TextFormat::Printer printer;
  printer.SetUseUtf8StringEscaping(true);
  std::string out;
  printer.PrintToString(m, &out);
  return out;
}

void copy_from(MessageView& v, py::handle src) {
  if (is_message_view(src)) {
    Message* self = v.existing();
    if (self && view_of(src).existing() == self) return;  // m.CopyFrom(m)
  }
  // Copy first: `src` may lie inside the target (a graph copied from one of
  // its own subgraphs' ancestors) and must be read before anything moves.
  std::unique_ptr<Message> copy = detached_copy(src, v.desc, "CopyFrom()");
  replace_contents(v.owner, v.write(), std::move(copy));
}

void merge_from(MessageView& v, py::handle src) {
  std::unique_ptr<Message> copy = detached_copy(src, v.desc, "MergeFrom()");
  Message* target = v.write();
  park_merge_conflicts(v.owner, target, *copy);
  target->MergeFrom(*copy);
}

py::bytes serialize(const Message& m, bool deterministic) {
  size_t size = checked_depth(m).ByteSizeLong();
  if (size > static_cast<size_t>(INT_MAX)) {
    throw py::value_error("message of type " + m.GetDescriptor()->full_name() + " is " +
                          std::to_string(size) +
                          " bytes, over the 2 GiB protobuf limit; keep weights out of it");
  }
  auto out = py::reinterpret_steal<py::bytes>(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!out) throw py::error_already_set();
  google::protobuf::io::ArrayOutputStream stream(PyBytes_AS_STRING(out.ptr()),
                                                 static_cast<int>(size));
  google::protobuf::io::CodedOutputStream coded(&stream);
  coded.SetSerializationDeterministic(deterministic);
  m.SerializeWithCachedSizes(&coded);
  if (coded.HadError()) throw py::value_error("serialization failed");
  return out;
}

void bind_message_view_class(py::module_& m) {
  auto setup = [](PyHeapTypeObject* heap) {
    heap->ht_type.tp_getattro = view_getattro;
    heap->ht_type.tp_setattro = view_setattro;
  };
  py::class_<MessageView> cls(m, "MessageView", py::is_final(), py::custom_type_setup(setup),
                              R"doc(A live view of one ONNX message inside a model.

Fields read and assign like attributes of protobuf's own Python messages;
message fields give views, repeated fields live lists (RepeatedView).)doc");

  py::class_<MessageDescriptorRef>(cls, "Descriptor")
      .def_property_readonly("name", [](const MessageDescriptorRef& d) { return d.desc->name(); })
      .def_property_readonly("full_name",
                             [](const MessageDescriptorRef& d) { return d.desc->full_name(); })
      .def_property_readonly("fields",
                             [](const MessageDescriptorRef& d) {
                               py::list out;
                               for (int i = 0; i < d.desc->field_count(); ++i)
                                 out.append(FieldDescriptorRef{d.desc->field(i)});
                               return out;
                             })
      .def_property_readonly("fields_by_name",
                             [](const MessageDescriptorRef& d) {
                               py::dict out;
                               for (int i = 0; i < d.desc->field_count(); ++i)
                                 out[py::str(d.desc->field(i)->name())] =
                                     FieldDescriptorRef{d.desc->field(i)};
                               return out;
                             })
      .def("__eq__", [](const MessageDescriptorRef& a,
                        const MessageDescriptorRef& b) { return a.desc == b.desc; })
      .def("__hash__",
           [](const MessageDescriptorRef& d) { return std::hash<const void*>()(d.desc); })
      .def("__repr__", [](const MessageDescriptorRef& d) {
        return "<Descriptor " + d.desc->full_name() + ">";
      });

  // Numbers as in descriptor.proto: `type` is FieldDescriptor.TYPE_*, `label`
  // 1 optional, 2 required, 3 repeated.
  py::class_<FieldDescriptorRef>(cls, "FieldDescriptor")
      .def_property_readonly("name", [](const FieldDescriptorRef& f) { return f.field->name(); })
      .def_property_readonly("full_name",
                             [](const FieldDescriptorRef& f) { return f.field->full_name(); })
      .def_property_readonly("number",
                             [](const FieldDescriptorRef& f) { return f.field->number(); })
      .def_property_readonly("type",
                             [](const FieldDescriptorRef& f) { return int(f.field->type()); })
      .def_property_readonly("label",
                             [](const FieldDescriptorRef& f) { return int(f.field->label()); })
      .def_property_readonly("is_repeated",
                             [](const FieldDescriptorRef& f) { return f.field->is_repeated(); })
      .def_property_readonly("message_type",
                             [](const FieldDescriptorRef& f) -> py::object {
                               if (!f.field->message_type()) return py::none();
                               return py::cast(MessageDescriptorRef{f.field->message_type()});
                             })
      .def("__eq__", [](const FieldDescriptorRef& a,
                        const FieldDescriptorRef& b) { return a.field == b.field; })
      .def("__hash__",
           [](const FieldDescriptorRef& f) { return std::hash<const void*>()(f.field); })
      .def("__repr__", [](const FieldDescriptorRef& f) {
        return "<FieldDescriptor " + f.field->full_name() + ">";
      });

  cls.def_property_readonly(
         "type_name", [](MessageView& v) { return v.desc->full_name(); },
         "Full name of the message type, e.g. 'onnx.NodeProto'.")
      .def_property_readonly("DESCRIPTOR",
                             [](MessageView& v) { return MessageDescriptorRef{v.desc}; })
      .def(
          "SerializeToString",
          [](MessageView& v, bool deterministic) { return serialize(v.read(), deterministic); },
          py::kw_only(), py::arg("deterministic") = false)
      .def(
          "SerializePartialToString",
          [](MessageView& v, bool deterministic) { return serialize(v.read(), deterministic); },
          py::kw_only(), py::arg("deterministic") = false)
      .def(
          "ParseFromString",
          [](MessageView& v, py::handle data) {
            // Parsed aside and swapped in: a failure leaves the message as it was.
            size_t size = 0;
            std::unique_ptr<Message> parsed = parse_new(v.desc, data, &size);
            replace_contents(v.owner, v.write(), std::move(parsed));
            return size;
          },
          py::arg("serialized"))
      .def(
          "MergeFromString",
          [](MessageView& v, py::handle data) {
            size_t size = 0;
            std::unique_ptr<Message> parsed = parse_new(v.desc, data, &size);
            Message* target = v.write();
            park_merge_conflicts(v.owner, target, *parsed);
            target->MergeFrom(*parsed);
            return size;
          },
          py::arg("serialized"))
      .def("CopyFrom", &copy_from, py::arg("other_msg"))
      .def("MergeFrom", &merge_from, py::arg("other_msg"))
      .def(
          "HasField",
          [](MessageView& v, const std::string& name) {
            const Message& msg = v.read();
            const Reflection* r = msg.GetReflection();
            if (const FieldDescriptor* f = find_field(v.desc, name)) {
              if (!f->has_presence())
                throw py::value_error("Field " + f->full_name() + " does not have presence.");
              return r->HasField(msg, f);
            }
            if (const auto* oneof = v.desc->FindOneofByName(name)) return r->HasOneof(msg, oneof);
            no_such_field(v.desc, name);
          },
          py::arg("field_name"))
      .def(
          "ClearField",
          [](MessageView& v, const std::string& name) {
            const FieldDescriptor* f = find_field(v.desc, name);
            const auto* oneof = f ? nullptr : v.desc->FindOneofByName(name);
            if (!f && !oneof) no_such_field(v.desc, name);
            Message* msg = v.write();
            if (oneof) f = msg->GetReflection()->GetOneofFieldDescriptor(*msg, oneof);
            if (f) clear_field(v.owner, msg, f);
          },
          py::arg("field_name"))
      .def(
          "WhichOneof",
          [](MessageView& v, const std::string& name) -> py::object {
            const auto* oneof = v.desc->FindOneofByName(name);
            if (!oneof) no_such_field(v.desc, name);
            const Message& msg = v.read();
            const FieldDescriptor* f = msg.GetReflection()->GetOneofFieldDescriptor(msg, oneof);
            if (!f) return py::none();
            return py::str(f->name());
          },
          py::arg("oneof_group"))
      .def("ListFields",
           [](MessageView& v) {
             py::list out;
             Message* msg = v.existing();
             if (!msg) return out;
             std::vector<const FieldDescriptor*> fields;
             msg->GetReflection()->ListFields(*msg, &fields);  // sorted by number
             for (const FieldDescriptor* f : fields)
               out.append(py::make_tuple(FieldDescriptorRef{f}, get_field(v, f)));
             return out;
           })
      .def("ByteSize", [](MessageView& v) { return checked_depth(v.read()).ByteSizeLong(); })
      .def("IsInitialized", [](MessageView& v) { return checked_depth(v.read()).IsInitialized(); })
      .def("SetInParent", [](MessageView& v) { v.write(); })
      .def("Clear",
           [](MessageView& v) {
             Message* msg = v.write();
             if (has_submessages(*msg)) {
               v.owner->park_contents(msg);
             } else {
               msg->Clear();
             }
           })
      .def("__eq__",
           [](MessageView& v, py::handle other) -> py::object {
             if (!is_message_view(other) && !is_foreign_message(other))
               return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             if (type_name_of(other) != v.desc->full_name()) return py::bool_(false);
             std::unique_ptr<Message> holder;
             const Message* o = message_for_reading(other, v.desc, "==", &holder);
             return py::bool_(messages_equal(v.read(), *o));
           })
      .def("__copy__",
           [](MessageView& v) {
             std::unique_ptr<Message> c(v.read().New());
             c->CopyFrom(checked_depth(v.read()));
             return wrap_new_message(std::move(c));
           })
      .def(
          "__deepcopy__",
          [](MessageView& v, py::handle) {
            std::unique_ptr<Message> c(v.read().New());
            c->CopyFrom(checked_depth(v.read()));
            return wrap_new_message(std::move(c));
          },
          py::arg("memo") = py::none())
      .def("__reduce__",
           [](py::handle self) {
             MessageView& v = view_of(self);
             py::object module = py::module_::import(
                 py::type::of(self).attr("__module__").cast<std::string>().c_str());
             return py::make_tuple(module.attr("_parse_message"),
                                   py::make_tuple(v.desc->full_name(), serialize(v.read(), false)));
           })
      .def("__str__", [](MessageView& v) { return text_format(v.read()); })
      .def("__repr__", [](MessageView& v) { return text_format(v.read()); })
      .def("__dir__", [](py::handle self) {
        py::list names =
            py::reinterpret_borrow<py::object>((PyObject*)&PyBaseObject_Type).attr("__dir__")(self);
        const Descriptor* desc = view_of(self).desc;
        for (int i = 0; i < desc->field_count(); ++i) names.append(py::str(desc->field(i)->name()));
        return names;
      });
}

}  // namespace tarq::py_face
