#include "graph/table_views.h"

#include <pybind11/stl.h>

#include "messages/message_view.h"
#include "tarq/errors.h"

namespace tarq::py_face {

namespace {

// Python index rules: negatives count from the end; out of range raises.
size_t checked_index(int64_t i, size_t size, const char* what) {
  int64_t n = static_cast<int64_t>(size);
  if (i < 0) i += n;
  if (i < 0 || i >= n) throw IndexError(std::string(what) + " index out of range");
  return static_cast<size_t>(i);
}

struct CanFreesView {
  std::shared_ptr<const NameLists> t;
};

py::list names_to_py(const NameLists& lists, size_t i) {
  size_t n = lists.list_size(i);
  py::list out(n);
  for (size_t j = 0; j < n; ++j) {
    auto s = lists.name(i, j);
    out[j] = py::str(s.data(), s.size());
  }
  return out;
}

py::list all_lists(const NameLists& lists) {
  py::list out(lists.size());
  for (size_t i = 0; i < lists.size(); ++i) out[i] = names_to_py(lists, i);
  return out;
}

template <class Table>
struct MappingView {
  std::shared_ptr<const Table> table;
};

py::object value_to_py(const int64_t& v) { return py::int_(v); }
py::object value_to_py(const OperandPtr& v) { return py::cast(v); }

// The entries, copied out before any Python object is made: making one may
// run Python code (a collection), which may edit the table being walked.
template <class Table>
std::vector<std::pair<std::string, typename Table::Entry::second_type>> entries_of(
    const MappingView<Table>& v) {
  std::vector<std::pair<std::string, typename Table::Entry::second_type>> out;
  out.reserve(v.table->size());
  for (const auto& kv : *v.table) out.emplace_back(std::string(kv.first), kv.second);
  return out;
}

template <class Table>
py::list keys_of(const MappingView<Table>& v) {
  std::vector<std::string> names;
  names.reserve(v.table->size());
  for (const auto& kv : *v.table) names.emplace_back(kv.first);
  return py::cast(names);
}

template <class Table>
void bind_mapping(py::module_& m, const char* name, const char* doc) {
  using View = MappingView<Table>;
  auto get = [](const View& v, const std::string& key) -> py::object {
    auto it = v.table->find(key);
    if (it == v.table->end()) throw KeyError(key);
    return value_to_py(it->second);
  };
  py::class_<View>(m, name, doc)
      .def("__len__", [](const View& v) { return v.table->size(); })
      .def("__getitem__", get)
      .def("__contains__",
           [](const View& v, py::handle key) {
             return py::isinstance<py::str>(key) && v.table->count(py::cast<std::string>(key)) != 0;
           })
      .def("__iter__", [](const View& v) { return py::iter(keys_of(v)); })
      .def("keys", [](const View& v) { return keys_of(v); })
      .def("values",
           [](const View& v) {
             py::list values;
             for (const auto& kv : entries_of(v)) values.append(value_to_py(kv.second));
             return values;
           })
      .def("items",
           [](const View& v) {
             py::list items;
             for (const auto& kv : entries_of(v)) {
               items.append(py::make_tuple(py::str(kv.first), value_to_py(kv.second)));
             }
             return items;
           })
      .def(
          "get",
          [get](const View& v, const std::string& key, py::object dflt) -> py::object {
            return v.table->count(key) ? get(v, key) : dflt;
          },
          py::arg("key"), py::arg("default") = py::none())
      .def("copy",
           [](const View& v) {
             py::dict d;
             for (const auto& kv : entries_of(v)) d[py::str(kv.first)] = value_to_py(kv.second);
             return d;
           })
      .def("__eq__",
           [](py::object self, py::handle other) -> py::object {
             if (!py::isinstance<py::dict>(other) && !py::hasattr(other, "items")) {
               return py::reinterpret_borrow<py::object>(Py_NotImplemented);
             }
             return py::bool_(py::dict(self.attr("copy")()).equal(py::dict(other.attr("items")())));
           })
      .def("__repr__", [](py::object self) { return py::repr(self.attr("copy")()); })
      .attr("__hash__") = py::none();
}

// A Python list of the names, made from a copy: making the strings may run
// Python code (a collection), which may change the viewed list.
py::list names_copy(const NameListView& v) {
  std::vector<std::string> names = *v.names;
  return py::cast(names);
}

// Views of nodes of one record, from a copy of the pointers.
py::list node_list(const OperandPtr& op, const std::vector<onnx::NodeProto*>& nodes) {
  py::list out;
  for (auto* n : nodes) out.append(node_view(op, n));
  return out;
}

py::tuple deps_to_py(const DependencyMap::Names& names) {
  py::tuple t(names.size());
  for (size_t i = 0; i < names.size(); ++i) t[i] = py::str(names[i].data(), names[i].size());
  return t;
}

py::list keys_to_py(const std::vector<std::string_view>& keys) {
  py::list out(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) out[i] = py::str(keys[i].data(), keys[i].size());
  return out;
}

}  // namespace

py::object node_view(const OperandPtr& op, onnx::NodeProto* node) {
  if (!node) return py::none();
  // The owner of the node's own model keeps it alive (not the operand: two
  // records linking each other's nodes would keep each other forever).
  return wrap_message(op->owner_of(node), node);
}

onnx::NodeProto* node_for_operand(const OperandPtr& op, py::handle obj) {
  OwnerPtr owner;
  auto* node = message_arg_as<onnx::NodeProto>(obj, &owner);
  if (!op->owner) {
    op->owner = owner;
  } else if (op->owner_of(node) != owner) {
    op->foreign.emplace_back(node, owner);
  }
  return node;
}

py::object view_of(std::shared_ptr<const NameIndex> t) {
  return py::cast(MappingView<NameIndex>{std::move(t)});
}
py::object view_of(std::shared_ptr<const OperandMap> t) {
  return py::cast(MappingView<OperandMap>{std::move(t)});
}
py::object view_of(std::shared_ptr<const DependencyMap> t) {
  return py::cast(MappingView<DependencyMap>{std::move(t)});
}
py::object view_of(std::shared_ptr<const NameLists> t) {
  return py::cast(CanFreesView{std::move(t)});
}
py::object names_view(std::shared_ptr<void> keep, const std::vector<std::string>* names,
                      bool writable) {
  return py::cast(
      NameListView{std::move(keep), const_cast<std::vector<std::string>*>(names), writable});
}

void bind_table_views(py::module_& m) {
  bind_mapping<NameIndex>(m, "NameIndexView", "Live read-only view: name -> position.");
  bind_mapping<OperandMap>(m, "OperandsView", "Live read-only view: tensor name -> Operand.");

  using DepView = MappingView<DependencyMap>;
  py::class_<DepView>(m, "DependencyMapView",
                      "Live read-only view: name -> tuple of the tensors it depends on; "
                      "entries are computed on first access.")
      .def("__len__", [](const DepView& v) { return v.table->size(); })
      .def("__getitem__",
           [](const DepView& v, const std::string& k) { return deps_to_py(v.table->at(k)); })
      .def("__contains__",
           [](const DepView& v, py::handle k) {
             return py::isinstance<py::str>(k) && v.table->contains(py::cast<std::string>(k));
           })
      .def("__iter__", [](const DepView& v) { return py::iter(keys_to_py(v.table->keys())); })
      .def("keys", [](const DepView& v) { return keys_to_py(v.table->keys()); })
      .def("values",
           [](const DepView& v) {
             py::list out;
             for (const auto& k : v.table->keys()) out.append(deps_to_py(v.table->at(k)));
             return out;
           })
      .def("items",
           [](const DepView& v) {
             py::list out;
             for (const auto& k : v.table->keys())
               out.append(py::make_tuple(py::str(k.data(), k.size()), deps_to_py(v.table->at(k))));
             return out;
           })
      .def(
          "get",
          [](const DepView& v, const std::string& k, py::object d) -> py::object {
            return v.table->contains(k) ? py::object(deps_to_py(v.table->at(k))) : d;
          },
          py::arg("key"), py::arg("default") = py::none())
      .def("__repr__", [](const DepView& v) {
        return "<DependencyMapView of " + std::to_string(v.table->size()) + " entries>";
      });

  py::class_<CanFreesView>(m, "CanFreesView",
                           "Live read-only view: per node, the tensors freed after it.")
      .def("__len__", [](const CanFreesView& f) { return f.t->size(); })
      .def("__getitem__",
           [](const CanFreesView& f, int64_t i) {
             return names_to_py(*f.t, checked_index(i, f.t->size(), "can_frees"));
           })
      .def("__iter__", [](const CanFreesView& f) { return py::iter(all_lists(*f.t)); })
      .def("__eq__",
           [](const CanFreesView& f, py::handle other) { return all_lists(*f.t).equal(other); })
      .def("__repr__", [](const CanFreesView& f) { return py::repr(all_lists(*f.t)); })
      .attr("__hash__") = py::none();

  py::class_<NameListView>(m, "NameListView", "Live view of a list of tensor or node names.")
      .def("__len__", [](const NameListView& v) { return v.names->size(); })
      .def("__getitem__",
           [](const NameListView& v, py::handle idx) -> py::object {
             if (py::isinstance<py::slice>(idx)) return names_copy(v)[idx];
             int64_t i = py::cast<int64_t>(idx);  // may run Python code: before the size
             return py::str((*v.names)[checked_index(i, v.names->size(), "list")]);
           })
      .def("__iter__", [](const NameListView& v) { return py::iter(names_copy(v)); })
      .def("__contains__",
           [](const NameListView& v, py::handle x) {
             if (!py::isinstance<py::str>(x)) return false;
             auto s = py::cast<std::string>(x);
             return std::find(v.names->begin(), v.names->end(), s) != v.names->end();
           })
      .def("index",
           [](const NameListView& v, const std::string& s) {
             auto it = std::find(v.names->begin(), v.names->end(), s);
             if (it == v.names->end()) throw ValueError("'" + s + "' is not in list");
             return it - v.names->begin();
           })
      .def("count",
           [](const NameListView& v, const std::string& s) {
             return std::count(v.names->begin(), v.names->end(), s);
           })
      .def("append",
           [](NameListView& v, const std::string& s) {
             if (!v.writable)
               throw py::type_error("this list is a read-only view of an index table");
             v.names->push_back(s);
           })
      .def("extend",
           [](NameListView& v, const std::vector<std::string>& s) {
             if (!v.writable)
               throw py::type_error("this list is a read-only view of an index table");
             v.names->insert(v.names->end(), s.begin(), s.end());
           })
      .def("remove",
           [](NameListView& v, const std::string& s) {
             if (!v.writable)
               throw py::type_error("this list is a read-only view of an index table");
             auto it = std::find(v.names->begin(), v.names->end(), s);
             if (it == v.names->end()) throw ValueError("'" + s + "' is not in list");
             v.names->erase(it);
           })
      .def("clear",
           [](NameListView& v) {
             if (!v.writable)
               throw py::type_error("this list is a read-only view of an index table");
             v.names->clear();
           })
      .def("__eq__",
           [](const NameListView& v, py::handle other) {
             return names_copy(v).equal(other) ||
                    (py::isinstance<NameListView>(other) &&
                     *other.cast<const NameListView&>().names == *v.names);
           })
      .def("__repr__", [](const NameListView& v) { return py::repr(names_copy(v)); })
      .attr("__hash__") = py::none();

  py::class_<ConsumerList>(m, "ConsumerList",
                           "The consumers of one tensor: the Operand's own list (a live view; "
                           "changing it changes the operand).")
      .def("__len__", [](const ConsumerList& c) { return c.op->outputs.size(); })
      .def("__getitem__",
           [](const ConsumerList& c, py::handle idx) -> py::object {
             // The index first (its __index__ may change this very list),
             // then the size; the nodes are copied out before views are
             // made, as making them may run Python code too.
             const auto& outs = c.op->outputs;
             if (py::isinstance<py::slice>(idx)) {
               Py_ssize_t start, stop, step;
               if (PySlice_Unpack(idx.ptr(), &start, &stop, &step) < 0) {
                 throw py::error_already_set();
               }
               Py_ssize_t len =
                   PySlice_AdjustIndices(static_cast<Py_ssize_t>(outs.size()), &start, &stop, step);
               std::vector<onnx::NodeProto*> picked;
               for (Py_ssize_t k = 0; k < len; ++k) {
                 picked.push_back(outs[static_cast<size_t>(start + k * step)]);
               }
               return node_list(c.op, picked);
             }
             int64_t i = py::cast<int64_t>(idx);
             return node_view(c.op, outs[checked_index(i, outs.size(), "list")]);
           })
      .def("__setitem__",
           [](ConsumerList& c, int64_t i, py::handle node) {
             auto* n = node_for_operand(c.op, node);
             c.op->outputs[checked_index(i, c.op->outputs.size(), "list")] = n;
           })
      .def("__delitem__",
           [](ConsumerList& c, int64_t i) {
             auto& outs = c.op->outputs;
             outs.erase(outs.begin() + static_cast<int64_t>(checked_index(i, outs.size(), "list")));
           })
      .def("__iter__",
           [](const ConsumerList& c) {
             std::vector<onnx::NodeProto*> nodes = c.op->outputs;
             return py::iter(node_list(c.op, nodes));
           })
      .def("__contains__",
           [](const ConsumerList& c, py::handle node) {
             OwnerPtr keep;
             const auto* n = message_arg_as<onnx::NodeProto>(node, &keep);
             for (const auto* o : c.op->outputs) {
               if (same_node(o, n)) return true;
             }
             return false;
           })
      .def("append", [](ConsumerList& c,
                        py::handle node) { c.op->outputs.push_back(node_for_operand(c.op, node)); })
      .def("insert",
           [](ConsumerList& c, int64_t i, py::handle node) {
             // The argument first: reading it may run Python code that
             // changes this very list.
             auto* n = node_for_operand(c.op, node);
             auto& outs = c.op->outputs;
             int64_t size = static_cast<int64_t>(outs.size());
             i = i < 0 ? std::max<int64_t>(0, i + size) : std::min(i, size);
             outs.insert(outs.begin() + i, n);
           })
      .def("remove",
           [](ConsumerList& c, py::handle node) {
             OwnerPtr keep;
             const auto* n = message_arg_as<onnx::NodeProto>(node, &keep);
             auto& outs = c.op->outputs;
             for (auto it = outs.begin(); it != outs.end(); ++it) {
               if (same_node(*it, n)) {
                 outs.erase(it);
                 return;
               }
             }
             throw ValueError("list.remove(x): x not in list");
           })
      .def("index",
           [](const ConsumerList& c, py::handle node) {
             OwnerPtr keep;
             const auto* n = message_arg_as<onnx::NodeProto>(node, &keep);
             const auto& outs = c.op->outputs;
             for (size_t i = 0; i < outs.size(); ++i) {
               if (same_node(outs[i], n)) return i;
             }
             throw ValueError("node is not in list");
           })
      .def("clear", [](ConsumerList& c) { c.op->outputs.clear(); })
      .def("__eq__",
           [](py::object self, py::handle other) {
             return py::list(self).equal(py::list(py::reinterpret_borrow<py::object>(other)));
           })
      .def("__repr__", [](py::object self) { return py::repr(py::list(self)); })
      .attr("__hash__") = py::none();
}

}  // namespace tarq::py_face
