// Python views of the C++ ONNX messages.
//
// A view is (owner, message pointer): the owner (tarq::MessageOwner) keeps the
// message tree alive, so a view never outlives its memory, and messages that
// leave the tree are parked by the owner rather than freed (see
// tarq/api/ir_graph/message_owner.h). Any code that removes or overwrites a
// sub-message through a view parks it first.
#pragma once

#include <google/protobuf/message.h>
#include <pybind11/pybind11.h>

#include <memory>

#include "tarq/api/ir_graph/message_owner.h"

namespace tarq::py_face {

namespace py = pybind11;

// The view of `msg`, a message inside the tree that `owner` keeps alive.
// Returns None for a null `msg`.
py::object wrap_message(const OwnerPtr& owner, google::protobuf::Message* msg);

// The view of a standalone message, which becomes the root of a new owner.
py::object wrap_new_message(std::unique_ptr<google::protobuf::Message> msg);

// A message given as an argument: a view is used in place; a message of the
// `onnx` Python package is copied into a new owner. `expected` (or nullptr for
// any type) is checked. Throws py::type_error for anything else.
//
// A view of an unset sub-message (Note [Lazy presence] in view_types.h) is
// handed over as a new empty message in its own owner, so that passing it
// along never sets the field it came from.
struct MessageArg {
  OwnerPtr owner;
  google::protobuf::Message* msg = nullptr;
  bool copied = false;  // true when `msg` is a new message rather than the view's
};
// A view's message nested too deeply for the recursive library calls is
// refused (ValueError) unless `check_depth` is false, for callers that check
// it themselves (the graph's rebuild does).
MessageArg message_arg(py::handle obj, const google::protobuf::Descriptor* expected,
                       bool check_depth = true);

template <class M>
M* message_arg_as(py::handle obj, OwnerPtr* owner_out, bool check_depth = true) {
  MessageArg a = message_arg(obj, M::descriptor(), check_depth);
  if (owner_out) *owner_out = a.owner;
  return static_cast<M*>(a.msg);
}

// True for a view object of this module.
bool is_message_view(py::handle obj);

}  // namespace tarq::py_face
