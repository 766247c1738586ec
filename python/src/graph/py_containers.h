// Host containers backed by the caller's own Python objects, so that
// `graph.initializer_dat is cache` holds and both sides see every change.
// Every method runs with the GIL held (the graph never releases it while
// these may be touched).
#pragma once

#include <pybind11/pybind11.h>

#include "tarq/api/ir_graph/host_containers.h"

namespace tarq::py_face {

namespace py = pybind11;

// Mixed into every Python-backed container: the object itself.
struct PyBacked {
  explicit PyBacked(py::object o) : obj(std::move(o)) {}
  virtual ~PyBacked() = default;
  py::object obj;
};

// copy.deepcopy of the object behind a container, held as the same kind.
template <class C>
std::shared_ptr<HostObject> py_deep_copy(const C& c) {
  return std::make_shared<C>(py::module_::import("copy").attr("deepcopy")(c.obj));
}

// Any other host object. It answers the map questions through the Python
// mapping protocol (len, in, del, []): dynamic_diff is asked the first
// three, op_target and quant_tab for values and record keys.
struct PyHostObject : RecordMap, PyBacked {
  using PyBacked::PyBacked;
  size_t size() const override;
  bool contains(const std::string& name) const override;
  bool erase(const std::string& name) override;
  std::optional<std::string> text(const std::string& name) const override;
  bool record_has(const std::string& name, const std::string& key) const override;
  std::shared_ptr<HostObject> deep_copy() const override { return py_deep_copy(*this); }
};

class PyArrayMap : public ArrayMap, public PyBacked {
 public:
  using PyBacked::PyBacked;
  size_t size() const override;
  bool contains(const std::string& name) const override;
  NdArray get(const std::string& name) const override;
  void set(const std::string& name, NdArray value) override;
  bool erase(const std::string& name) override;
  std::vector<std::string> keys() const override;
  // In place: the cached numpy array itself takes the shape.
  void reshape(const std::string& name, const Extents& shape) override;
  std::shared_ptr<HostObject> deep_copy() const override { return py_deep_copy(*this); }
  // copy.copy of the mapping: a new one of its kind, the arrays shared.
  std::shared_ptr<ArrayMap> copy_sharing_arrays() const override;
};

class PyShapesMap : public ShapesMap, public PyBacked {
 public:
  using PyBacked::PyBacked;
  size_t size() const override;
  std::vector<std::string> keys() const override;
  std::vector<Shape> get(const std::string& name) const override;
  void set(const std::string& name, std::vector<Shape> shapes) override;
  bool contains(const std::string& name) const override;
  bool erase(const std::string& name) override;
  int64_t config_count() const override;
  std::shared_ptr<HostObject> deep_copy() const override { return py_deep_copy(*this); }
};

class PyNameList : public NameList, public PyBacked {
 public:
  using PyBacked::PyBacked;
  size_t size() const override;
  std::string at(size_t i) const override;
  void append(const std::string& name) override;
  std::shared_ptr<HostObject> deep_copy() const override { return py_deep_copy(*this); }
};

// A per-configuration table over a dict of lists (None for an entry not
// set): arrays as numpy arrays, shapes as lists, element types as dtypes.
template <class T>
class PyConfigTable : public ConfigTable<T>, public PyBacked {
 public:
  using PyBacked::PyBacked;
  size_t size() const override;
  bool contains(const std::string& name) const override;
  bool erase(const std::string& name) override;
  std::optional<T> at(const std::string& name, int64_t idx) const override;
  void put(const std::string& name, int64_t idx, std::optional<T> value, int64_t count) override;
  std::vector<std::string> keys() const override;
  size_t list_size(const std::string& name) const override;
  // The same list object when `from` is a Python-backed table too.
  void assign_list(const std::string& name, const ConfigTable<T>& from) override;
  std::shared_ptr<HostObject> deep_copy() const override { return py_deep_copy(*this); }
};

// nodes_chg over a dict: name -> [copy of the node before, the node].
class PyNodeChanges : public NodeChanges, public PyBacked {
 public:
  using PyBacked::PyBacked;
  bool contains(const std::string& name) const override;
  void record(const std::string& name, const onnx::NodeProto& before, onnx::NodeProto* node,
              const OwnerPtr& owner) override;
};

// Toolkit-state containers as Python dicts and lists.
class PyHostFactory : public HostFactory {
 public:
  HostPtr new_map() const override;
  HostPtr new_list() const override;
  std::shared_ptr<ArrayConfigs> new_array_configs() const override;
  std::shared_ptr<ShapeConfigs> new_shape_configs() const override;
  std::shared_ptr<DtypeConfigs> new_dtype_configs() const override;
  std::shared_ptr<NameList> new_name_list() const override;
  std::shared_ptr<ShapesMap> new_shapes_map() const override;
};

// A typed host container over the object; null for None.
template <class C>
std::shared_ptr<C> typed_from_py(py::handle obj) {
  if (obj.is_none()) return nullptr;
  return std::make_shared<C>(py::reinterpret_borrow<py::object>(obj));
}

// The Python object behind a host container; None for null; for a native
// container (made by a C++ host) an opaque capsule.
py::object host_to_py(const std::shared_ptr<HostObject>& h);
// None -> null; anything else is held by reference.
HostPtr host_from_py(py::handle obj);

// Shapes: lists of int (fixed), str (symbolic) or None (neither).
py::list shape_to_py(const Shape& shape);
Shape shape_from_py(py::handle obj);

}  // namespace tarq::py_face
