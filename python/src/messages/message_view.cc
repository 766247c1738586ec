// MessageView: lazy resolution (Note [Lazy presence]) and field access.
#include "messages/view_types.h"

namespace tarq::py_face {

const Message& MessageView::read() {
  if (path.empty()) return *msg;
  const Message* cur = msg;
  for (const FieldDescriptor* f : path) {
    const Reflection* r = cur->GetReflection();
    if (!r->HasField(*cur, f)) {
      return *google::protobuf::MessageFactory::generated_factory()->GetPrototype(desc);
    }
    cur = &r->GetMessage(*cur, f);
  }
  // Someone created the message meanwhile: bind to it from now on.
  msg = const_cast<Message*>(cur);  // a message of a mutable tree
  path.clear();
  return *msg;
}

Message* MessageView::existing() {
  if (path.empty()) return msg;
  const Message& m = read();
  return path.empty() ? const_cast<Message*>(&m) : nullptr;
}

Message* MessageView::write() {
  if (path.empty()) {
    // Arrays that view a tensor's bytes keep them (see MessageOwner::pin).
    owner->release_viewed_bytes(msg);
    return msg;
  }
  Message* cur = msg;
  for (const FieldDescriptor* f : path) {
    park_oneof_rival(owner, cur, f);
    cur = cur->GetReflection()->MutableMessage(cur, f);
  }
  msg = cur;
  path.clear();
  return msg;
}

py::object make_view(MessageView view) { return py::cast(std::move(view)); }

MessageView& view_of(py::handle obj) {
  auto* v = py::cast<MessageView*>(obj);
  if (!v) throw py::type_error("expected a message view");
  return *v;
}

py::object get_field(MessageView& v, const FieldDescriptor* f) {
  if (f->is_repeated()) return py::cast(RepeatedView{v, f});
  if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
    Message* m = v.existing();
    if (m && m->GetReflection()->HasField(*m, f)) {
      Message* sub = m->GetReflection()->MutableMessage(m, f);  // present: no side effect
      return make_view(MessageView{v.owner, sub, {}, f->message_type()});
    }
    MessageView child{v.owner, v.msg, v.path, f->message_type()};
    child.path.push_back(f);
    return make_view(std::move(child));
  }
  return get_scalar(v.read(), f);
}

void set_field(MessageView& v, const FieldDescriptor* f, py::handle value) {
  if (f->is_repeated()) {
    throw py::attribute_error("Assignment not allowed to map, or repeated field \"" + f->name() +
                              "\" in protocol message object.");
  }
  if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
    throw py::attribute_error("Assignment not allowed to message field \"" + f->name() +
                              "\" in protocol message object.");
  }
  ScalarValue sv = to_scalar(f, value);  // check before creating anything
  Message* m = v.write();
  park_oneof_rival(v.owner, m, f);
  set_scalar(m, f, sv);
}

void init_fields(MessageView& v, const py::dict& values) {
  for (auto item : values) {
    std::string name = py::str(item.first);
    const FieldDescriptor* f = find_field(v.desc, name);
    if (!f) {
      throw py::value_error("Protocol message " + v.desc->name() + " has no \"" + name +
                            "\" field.");
    }
    if (item.second.is_none()) continue;
    if (f->is_repeated()) {
      RepeatedView list{v, f};
      repeated_extend(list, item.second);
    } else if (f->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
      py::object child = get_field(v, f);
      if (py::isinstance<py::dict>(item.second)) {
        view_of(child).write();  // `graph={}` still sets the field
        init_fields(view_of(child), item.second.cast<py::dict>());
      } else {
        copy_from(view_of(child), item.second);
      }
    } else {
      set_field(v, f, item.second);
    }
  }
}

py::object wrap_message(const OwnerPtr& owner, Message* msg) {
  if (!msg) return py::none();
  if (!owner) throw py::value_error("a message view needs the owner of its message");
  return make_view(MessageView{owner, msg, {}, msg->GetDescriptor()});
}

py::object wrap_new_message(std::unique_ptr<Message> msg) {
  if (!msg) return py::none();
  Message* raw = msg.get();
  auto owner = std::make_shared<MessageOwner>(std::move(msg));
  return wrap_message(owner, raw);
}

bool is_message_view(py::handle obj) { return py::isinstance<MessageView>(obj); }

}  // namespace tarq::py_face
