// Attribute values between Python and the core.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarq/api/ir_graph/attr_value.h"
#include "tarq/api/ir_graph/message_owner.h"

namespace tarq::py_face {

namespace py = pybind11;

// An integer argument (anything with __index__): TypeError for other kinds,
// ValueError out of the 64-bit range, as protobuf's own fields do.
int64_t as_int64(py::handle v, const char* what);
// A str or bytes argument; TypeError for other kinds.
std::string string_arg(py::handle s, const char* what);

// A Python value as an attribute value, typed as make_attribute types it (an
// empty list as an empty INTS). The messages it points to (views, or copies
// of `onnx` messages) stay alive while `owners` does.
struct AttrArg {
  AttrValue value;
  std::vector<OwnerPtr> owners;
};
AttrArg attr_arg(py::handle value, const std::string& key,
                 std::optional<int32_t> attr_type = std::nullopt);

// An attribute value as Python sees it; messages become views kept alive by
// `owner`.
py::object attr_value_to_python(const AttrValue& value, const OwnerPtr& owner);

}  // namespace tarq::py_face
