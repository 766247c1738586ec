// The message part of the module: MessageView, RepeatedView, to_onnx and the
// private factory _parse_message.
#include "bindings.h"
#include "messages/view_types.h"

namespace tarq::py_face {

void bind_messages(py::module_& m) {
  bind_message_view_class(m);
  bind_repeated_view_class(m);
  bind_message_functions(m);
}

}  // namespace tarq::py_face
