#include "graph/py_containers.h"

#include <onnx/onnx_pb.h>

#include "arrays/numpy_convert.h"
#include "messages/message_view.h"
#include "tarq/errors.h"

namespace tarq::py_face {

namespace {

bool py_erase(const py::object& obj, const std::string& name) {
  py::str key(name);
  if (!obj.contains(key)) return false;
  obj.attr("__delitem__")(key);
  return true;
}

}  // namespace

size_t PyHostObject::size() const { return py::len(obj); }

bool PyHostObject::contains(const std::string& name) const { return obj.contains(py::str(name)); }

bool PyHostObject::erase(const std::string& name) { return py_erase(obj, name); }

std::optional<std::string> PyHostObject::text(const std::string& name) const {
  py::str key(name);
  if (!obj.contains(key)) return std::nullopt;
  py::object value = obj[key];
  if (!py::isinstance<py::str>(value)) return std::nullopt;
  return value.cast<std::string>();
}

bool PyHostObject::record_has(const std::string& name, const std::string& key) const {
  py::str k(name);
  if (!obj.contains(k)) throw KeyError(name);
  py::object record = obj[k];
  return record.contains(py::str(key));
}

size_t PyArrayMap::size() const { return py::len(obj); }

bool PyArrayMap::contains(const std::string& name) const { return obj.contains(py::str(name)); }

NdArray PyArrayMap::get(const std::string& name) const {
  py::str key(name);
  if (!obj.contains(key)) throw KeyError(name);
  return from_numpy(obj[key]);
}

void PyArrayMap::set(const std::string& name, NdArray value) {
  obj[py::str(name)] = to_numpy(value);
}

bool PyArrayMap::erase(const std::string& name) { return py_erase(obj, name); }

void PyArrayMap::reshape(const std::string& name, const Extents& shape) {
  py::str key(name);
  if (!obj.contains(key)) throw KeyError(name);
  py::object arr = obj[key];
  py::tuple dims(shape.size());
  for (size_t i = 0; i < shape.size(); ++i) dims[i] = py::int_(shape[i]);
  // numpy refuses an in-place reshape of a non-contiguous array or to
  // another element count; the first is served by a new array.
  if (!py::isinstance<py::array>(arr) || !py::cast<bool>(arr.attr("flags").attr("c_contiguous"))) {
    ArrayMap::reshape(name, shape);
    return;
  }
  if (element_count(shape) != py::cast<int64_t>(arr.attr("size"))) {
    throw ValueError("cannot reshape the cached array of '" + name + "' of size " +
                     py::str(arr.attr("size")).cast<std::string>() + " into shape " +
                     py::str(dims).cast<std::string>());
  }
  arr.attr("shape") = dims;
}

std::shared_ptr<ArrayMap> PyArrayMap::copy_sharing_arrays() const {
  return std::make_shared<PyArrayMap>(py::module_::import("copy").attr("copy")(obj));
}

std::vector<std::string> PyArrayMap::keys() const {
  std::vector<std::string> out;
  for (auto k : obj) out.push_back(py::cast<std::string>(k));
  return out;
}

size_t PyShapesMap::size() const { return py::len(obj); }

std::vector<std::string> PyShapesMap::keys() const {
  std::vector<std::string> out;
  for (auto k : obj) out.push_back(py::cast<std::string>(k));
  return out;
}

std::vector<Shape> PyShapesMap::get(const std::string& name) const {
  py::str key(name);
  if (!obj.contains(key)) throw KeyError(name);
  std::vector<Shape> out;
  for (auto s : obj[key]) out.push_back(shape_from_py(s));
  return out;
}

void PyShapesMap::set(const std::string& name, std::vector<Shape> shapes) {
  py::list l;
  for (const auto& s : shapes) l.append(shape_to_py(s));
  obj[py::str(name)] = l;
}

bool PyShapesMap::contains(const std::string& name) const { return obj.contains(py::str(name)); }

bool PyShapesMap::erase(const std::string& name) { return py_erase(obj, name); }

int64_t PyShapesMap::config_count() const {
  if (py::len(obj) == 0) return 0;
  // The first value in insertion order; len() raises TypeError when it has
  // no length, which fails the construction as it should.
  py::object first = obj.attr("values")().attr("__iter__")().attr("__next__")();
  return static_cast<int64_t>(py::len(first));
}

size_t PyNameList::size() const { return py::len(obj); }

std::string PyNameList::at(size_t i) const { return py::cast<std::string>(obj[py::int_(i)]); }

void PyNameList::append(const std::string& name) { obj.attr("append")(name); }

namespace {

// The element conversions of the per-configuration tables.
py::object config_to_py(const NdArray& a) { return to_numpy(a); }
py::object config_to_py(const Shape& s) { return shape_to_py(s); }
py::object config_to_py(int32_t t) { return dtype_of(t); }
void config_from_py(py::handle o, NdArray* out) { *out = from_numpy(o); }
void config_from_py(py::handle o, Shape* out) { *out = shape_from_py(o); }
void config_from_py(py::handle o, int32_t* out) { *out = elem_type_of(o); }

}  // namespace

template <class T>
size_t PyConfigTable<T>::size() const {
  return py::len(obj);
}

template <class T>
bool PyConfigTable<T>::contains(const std::string& name) const {
  return obj.contains(py::str(name));
}

template <class T>
bool PyConfigTable<T>::erase(const std::string& name) {
  return py_erase(obj, name);
}

template <class T>
std::optional<T> PyConfigTable<T>::at(const std::string& name, int64_t idx) const {
  py::str key(name);
  if (!obj.contains(key)) return std::nullopt;
  py::object entry = obj[key][py::int_(idx)];
  if (entry.is_none()) return std::nullopt;
  T value;
  config_from_py(entry, &value);
  return value;
}

template <class T>
void PyConfigTable<T>::put(const std::string& name, int64_t idx, std::optional<T> value,
                           int64_t count) {
  py::str key(name);
  if (!obj.contains(key)) {
    py::list fresh;
    for (int64_t i = 0; i < count; ++i) fresh.append(py::none());
    obj[key] = fresh;
  }
  py::object entry = value ? config_to_py(*value) : py::object(py::none());
  obj[key][py::int_(idx)] = entry;
}

template <class T>
std::vector<std::string> PyConfigTable<T>::keys() const {
  std::vector<std::string> out;
  for (auto key : py::list(obj)) out.push_back(py::cast<std::string>(key));
  return out;
}

template <class T>
size_t PyConfigTable<T>::list_size(const std::string& name) const {
  py::str key(name);
  return obj.contains(key) ? py::len(obj[key]) : 0;
}

template <class T>
void PyConfigTable<T>::assign_list(const std::string& name, const ConfigTable<T>& from) {
  if (const auto* py_from = dynamic_cast<const PyConfigTable<T>*>(&from)) {
    py::str key(name);
    obj[key] = py_from->obj[key];
    return;
  }
  ConfigTable<T>::assign_list(name, from);
}

template class PyConfigTable<NdArray>;
template class PyConfigTable<Shape>;
template class PyConfigTable<int32_t>;

bool PyNodeChanges::contains(const std::string& name) const { return obj.contains(py::str(name)); }

void PyNodeChanges::record(const std::string& name, const onnx::NodeProto& before,
                           onnx::NodeProto* node, const OwnerPtr& owner) {
  py::list entry;
  entry.append(wrap_new_message(std::make_unique<onnx::NodeProto>(before)));
  entry.append(wrap_message(owner, node));
  obj[py::str(name)] = entry;
}

std::shared_ptr<ArrayConfigs> PyHostFactory::new_array_configs() const {
  return std::make_shared<PyConfigTable<NdArray>>(py::dict());
}

std::shared_ptr<ShapeConfigs> PyHostFactory::new_shape_configs() const {
  return std::make_shared<PyConfigTable<Shape>>(py::dict());
}

std::shared_ptr<DtypeConfigs> PyHostFactory::new_dtype_configs() const {
  return std::make_shared<PyConfigTable<int32_t>>(py::dict());
}

HostPtr PyHostFactory::new_map() const { return std::make_shared<PyHostObject>(py::dict()); }

HostPtr PyHostFactory::new_list() const { return std::make_shared<PyHostObject>(py::list()); }

std::shared_ptr<NameList> PyHostFactory::new_name_list() const {
  return std::make_shared<PyNameList>(py::list());
}

std::shared_ptr<ShapesMap> PyHostFactory::new_shapes_map() const {
  return std::make_shared<PyShapesMap>(py::dict());
}

py::object host_to_py(const std::shared_ptr<HostObject>& h) {
  if (!h) return py::none();
  if (auto* p = dynamic_cast<const PyBacked*>(h.get())) return p->obj;
  return py::capsule(new HostPtr(h), "tarq.HostObject",
                     [](void* p) { delete static_cast<HostPtr*>(p); });
}

HostPtr host_from_py(py::handle obj) { return typed_from_py<PyHostObject>(obj); }

py::list shape_to_py(const Shape& shape) {
  py::list out(shape.size());
  size_t i = 0;
  for (const auto& d : shape) {
    if (const auto* v = std::get_if<int64_t>(&d)) {
      out[i++] = py::int_(*v);
    } else if (const auto* s = std::get_if<std::string>(&d)) {
      out[i++] = py::str(*s);
    } else {
      out[i++] = py::none();
    }
  }
  return out;
}

Shape shape_from_py(py::handle obj) {
  if (py::isinstance<py::str>(obj) || py::isinstance<py::bytes>(obj)) {
    throw py::type_error("a shape is a sequence of int, str or None, not a string");
  }
  Shape shape;
  for (auto d : py::iter(obj)) {
    if (d.is_none()) {
      shape.emplace_back(std::monostate{});
    } else if (py::isinstance<py::str>(d)) {
      shape.emplace_back(py::cast<std::string>(d));
    } else if (py::hasattr(d, "__index__")) {
      shape.emplace_back(py::cast<int64_t>(d.attr("__index__")()));
    } else {
      throw py::type_error("a shape dimension is an int, a str or None, not " +
                           py::cast<std::string>(py::str(py::type::of(d).attr("__name__"))));
    }
  }
  return shape;
}

}  // namespace tarq::py_face
