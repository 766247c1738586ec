// Internals shared by the message-view sources: the two view classes, field
// lookup and the Python <-> protobuf value conversions. Other binding code
// uses message_view.h only.
//
// Ownership: every view holds the OwnerPtr of the tree its pointers point
// into, so the pointed-to messages live at least as long as the view. Nothing
// here frees a message of a tree: removed or overwritten sub-messages are
// handed to MessageOwner::park() / park_contents() first.
#pragma once

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

#include "messages/message_view.h"

namespace tarq::py_face {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// A message of a tree, or a message that does not exist yet.
//
// Note [Lazy presence]: reading an unset singular message field must not set
// it (a reader of `model.graph` on a model without a graph leaves the model
// unchanged). Such a read yields a lazy view: `msg` is the nearest existing
// ancestor and `path` the chain of singular message fields from it down to
// the viewed message. Reads see the default instance until the message
// exists; the first write creates every message along the path (setting
// presence, as a write through protobuf's own Python classes does). Once the
// message is found or created the view binds to it and `path` empties, so a
// view refers to one message object for the rest of its life, even if that
// object is later cleared away and parked.
struct MessageView {
  OwnerPtr owner;
  Message* msg = nullptr;
  std::vector<const FieldDescriptor*> path;
  const Descriptor* desc = nullptr;

  // The message, or while it does not exist, the default instance.
  const Message& read();
  // The message if it exists, else nullptr; never creates anything.
  Message* existing();
  // The message, created along the path if needed.
  Message* write();
  bool lazy() const { return !path.empty(); }
};

// A repeated field of a message; the parent may be lazy (`model.graph.node`
// on a model without a graph), in which case the list reads as empty and
// the first insertion creates the parent.
struct RepeatedView {
  MessageView parent;
  const FieldDescriptor* field = nullptr;

  int size() {
    const Message& m = parent.read();
    return m.GetReflection()->FieldSize(m, field);
  }
  bool of_messages() const { return field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE; }
};

// Wrappers that give Python a read-only look at descriptors (DESCRIPTOR,
// ListFields). Descriptors of the generated pool live for the whole process.
struct MessageDescriptorRef {
  const Descriptor* desc;
};
struct FieldDescriptorRef {
  const FieldDescriptor* field;
};

// ---- field lookup (field_lookup.cc) ----

// The field of `desc` named by the Python string `name`, or nullptr (also for
// a non-string). Cached per descriptor in a dict keyed by the interned name.
const FieldDescriptor* find_field(const Descriptor* desc, PyObject* name);
const FieldDescriptor* find_field(const Descriptor* desc, const std::string& name);
// The prototype of a generated message type by full name, or nullptr.
const Message* prototype_by_name(const std::string& full_name);

// ---- values (field_values.cc) ----

// A Python value checked and converted for one field. Which member is used
// depends on the field's C++ type.
struct ScalarValue {
  int64_t i = 0;
  uint64_t u = 0;
  double d = 0;
  std::string s;
};
// Converts `v` for `f` (a non-message field): TypeError for a wrong kind,
// ValueError for an out-of-range number or an unknown enum value.
ScalarValue to_scalar(const FieldDescriptor* f, py::handle v);
void set_scalar(Message* m, const FieldDescriptor* f, const ScalarValue& v);
void set_scalar_element(Message* m, const FieldDescriptor* f, int index, const ScalarValue& v);
void add_scalar(Message* m, const FieldDescriptor* f, const ScalarValue& v);
py::object get_scalar(const Message& m, const FieldDescriptor* f);
py::object get_scalar_element(const Message& m, const FieldDescriptor* f, int index);

// ---- views (message_view.cc) ----

py::object make_view(MessageView view);
// The value of any field as Python sees it: a scalar, a view of a message
// (lazy when unset), or a live list.
py::object get_field(MessageView& v, const FieldDescriptor* f);
// `v.<f> = value` with protobuf's rules: scalars only.
void set_field(MessageView& v, const FieldDescriptor* f, py::handle value);
// Applies keyword-style initial values (`add(name="x", input=[...])`).
void init_fields(MessageView& v, const py::dict& values);
// The view inside a MessageView object (TypeError for anything else).
MessageView& view_of(py::handle obj);

// ---- lists (repeated_view.cc) ----

// Appends every item of `values`, all checked (and copied) before the first
// is added.
void repeated_extend(RepeatedView& list, py::handle values);

// ---- messages as arguments (message_args.cc) ----

// An independent heap copy of a message argument (a view or an `onnx`
// package message) of type `expected` (any type if nullptr). `what` names
// the operation in the TypeError raised for anything else.
std::unique_ptr<Message> detached_copy(py::handle obj, const Descriptor* expected,
                                       const char* what);
// Like detached_copy, but returns a view's message in place (no copy) when
// it exists; `holder` receives a copy that must outlive the returned pointer.
const Message* message_for_reading(py::handle obj, const Descriptor* expected, const char* what,
                                   std::unique_ptr<Message>* holder);
// True for an object that looks like a protobuf message of another runtime
// (has DESCRIPTOR.full_name and SerializeToString).
bool is_foreign_message(py::handle obj);

// ---- tree surgery shared by messages and lists (message_methods.cc) ----

// True if `m` holds any sub-message (a set singular message field or a
// non-empty message list): overwriting it then needs parking.
bool has_submessages(const Message& m);
// Replaces the contents of `target` by those of `replacement` (consumed).
// The old contents are parked if they hold sub-messages.
void replace_contents(const OwnerPtr& owner, Message* target, std::unique_ptr<Message> replacement);
// Before `f` of `m` is written: if `f` belongs to a oneof whose current
// member is another message field, that message is released and parked.
void park_oneof_rival(const OwnerPtr& owner, Message* m, const FieldDescriptor* f);
// `m` itself, after refusing (ValueError) a message nested too deeply for the
// recursive library calls (see tarq/api/ir_graph/nesting.h).
const Message& checked_depth(const Message& m);
// Content equality (MessageDifferencer::Equals).
bool messages_equal(const Message& a, const Message& b);
std::string text_format(const Message& m);
// CopyFrom / MergeFrom with a message argument, parking what they displace.
void copy_from(MessageView& v, py::handle src);
void merge_from(MessageView& v, py::handle src);
// The wire bytes of `m`; ValueError beyond the 2 GiB protobuf limit.
py::bytes serialize(const Message& m, bool deterministic);

void bind_message_view_class(py::module_& m);
void bind_repeated_view_class(py::module_& m);
void bind_message_functions(py::module_& m);

}  // namespace tarq::py_face
