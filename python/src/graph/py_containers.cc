#include "graph/py_containers.h"

#include "arrays/numpy_convert.h"
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

HostPtr PyHostFactory::new_map() const { return std::make_shared<PyHostObject>(py::dict()); }

HostPtr PyHostFactory::new_list() const { return std::make_shared<PyHostObject>(py::list()); }

std::shared_ptr<NameList> PyHostFactory::new_name_list() const {
  return std::make_shared<PyNameList>(py::list());
}

py::object host_to_py(const std::shared_ptr<HostObject>& h) {
  if (!h) return py::none();
  if (auto* p = dynamic_cast<const PyBacked*>(h.get())) return p->obj;
  return py::capsule(new HostPtr(h), "tarq.HostObject",
                     [](void* p) { delete static_cast<HostPtr*>(p); });
}

HostPtr host_from_py(py::handle obj) {
  if (obj.is_none()) return nullptr;
  return std::make_shared<PyHostObject>(py::reinterpret_borrow<py::object>(obj));
}

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
