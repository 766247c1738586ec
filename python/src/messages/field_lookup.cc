// Field lookup by Python name, and message types by full name.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>
#include <onnx/onnx-data.pb.h>
#include <onnx/onnx-operators-ml.pb.h>
#include <onnx/onnx_pb.h>

#include <unordered_map>

#include "messages/view_types.h"

namespace tarq::py_face {

namespace {

// One dict per message type: interned field name -> field index. A dict
// lookup with an attribute name (already interned and hashed by Python) is
// the cheapest way from `view.name` to the FieldDescriptor. The dicts live
// for the whole process, as the descriptors do.
PyObject* field_index_dict(const Descriptor* desc) {
  static std::unordered_map<const Descriptor*, PyObject*> dicts;
  auto it = dicts.find(desc);
  if (it != dicts.end()) return it->second;
  py::dict d;
  for (int i = 0; i < desc->field_count(); ++i) {
    const std::string& name = desc->field(i)->name();
    PyObject* key = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (!key) throw py::error_already_set();
    PyUnicode_InternInPlace(&key);
    d[py::reinterpret_steal<py::object>(key)] = py::int_(i);
  }
  PyObject* raw = d.release().ptr();
  dicts.emplace(desc, raw);
  return raw;
}

}  // namespace

const FieldDescriptor* find_field(const Descriptor* desc, PyObject* name) {
  if (!PyUnicode_Check(name)) return nullptr;
  PyObject* index = PyDict_GetItemWithError(field_index_dict(desc), name);
  if (!index) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return nullptr;
  }
  return desc->field(static_cast<int>(PyLong_AsLong(index)));
}

const FieldDescriptor* find_field(const Descriptor* desc, const std::string& name) {
  return desc->FindFieldByName(name);
}

const Message* prototype_by_name(const std::string& full_name) {
  // Referencing one message of each ONNX proto file links its generated code
  // (and registers its descriptors) even where nothing else uses it.
  static const bool linked = onnx::ModelProto::descriptor() && onnx::SequenceProto::descriptor() &&
                             onnx::OperatorSetProto::descriptor();
  (void)linked;
  const Descriptor* desc =
      google::protobuf::DescriptorPool::generated_pool()->FindMessageTypeByName(full_name);
  if (!desc) return nullptr;
  return google::protobuf::MessageFactory::generated_factory()->GetPrototype(desc);
}

}  // namespace tarq::py_face
