// RepeatedView: one live list class for every repeated field, scalars and
// messages alike. Elements move by SwapElements (a pointer swap for message
// lists), so a view of an element follows it wherever it goes; removed
// message elements are released and parked, never freed.
#include <algorithm>
#include <numeric>

#include "messages/view_types.h"

namespace tarq::py_face {

namespace {

// One checked value ready to go into the list: a scalar, or a message copy.
struct Entry {
  ScalarValue scalar;
  std::unique_ptr<Message> message;
};

Entry make_entry(RepeatedView& list, py::handle value, const char* what) {
  Entry e;
  if (list.of_messages()) {
    e.message = detached_copy(value, list.field->message_type(), what);
  } else {
    e.scalar = to_scalar(list.field, value);
  }
  return e;
}

void push_entry(RepeatedView& list, Message* parent, Entry&& e) {
  if (e.message) {
    parent->GetReflection()->AddAllocatedMessage(parent, list.field, e.message.release());
  } else {
    add_scalar(parent, list.field, e.scalar);
  }
}

// Python's index rules: negatives count from the end; IndexError outside.
int normalize_index(RepeatedView& list, py::handle index) {
  auto i = py::reinterpret_steal<py::object>(PyNumber_Index(index.ptr()));
  if (!i) {
    PyErr_Clear();
    throw py::type_error(std::string("list indices must be integers or slices, not ") +
                         Py_TYPE(index.ptr())->tp_name);
  }
  Py_ssize_t k = PyLong_AsSsize_t(i.ptr());
  if (k == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    throw py::index_error("list index out of range");
  }
  const int n = list.size();
  if (k < 0) k += n;
  if (k < 0 || k >= n) throw py::index_error("list index out of range");
  return static_cast<int>(k);
}

// The positions a slice selects, in slice order.
std::vector<int> slice_positions(RepeatedView& list, py::handle s) {
  Py_ssize_t start, stop, step;
  if (PySlice_Unpack(s.ptr(), &start, &stop, &step) < 0) throw py::error_already_set();
  Py_ssize_t count = PySlice_AdjustIndices(list.size(), &start, &stop, step);
  std::vector<int> out(static_cast<size_t>(count));
  for (Py_ssize_t k = 0; k < count; ++k)
    out[static_cast<size_t>(k)] = static_cast<int>(start + k * step);
  return out;
}

// Note [Python code between check and use]: converting an argument (__index__,
// __eq__, __float__, an `onnx` message's SerializeToString) or even allocating
// a Python object (a collection runs finalizers) can run Python code that
// edits this very list. So positions are checked against the live size right
// before each use, after all conversions, and never carried across Python
// calls unchecked.
py::object get_item(RepeatedView& list, int i) {
  if (i < 0 || i >= list.size()) throw py::index_error("list index out of range");
  if (!list.of_messages()) return get_scalar_element(list.parent.read(), list.field, i);
  Message* parent = list.parent.existing();  // non-empty, so it exists
  Message* elem = parent->GetReflection()->MutableRepeatedMessage(parent, list.field, i);
  return make_view(MessageView{list.parent.owner, elem, {}, list.field->message_type()});
}

py::list to_list(RepeatedView& list) {
  py::list out;
  for (int i = 0; i < list.size(); ++i) out.append(get_item(list, i));
  return out;
}

[[noreturn]] void changed_size() {
  throw py::value_error("the list changed size while the operation ran");
}

// Removes the elements whose `doomed` flag is set, keeping the order of the
// rest: kept elements are swapped forward, the doomed end up at the tail and
// are cut off there (message ones parked).
void remove_positions(RepeatedView& list, const std::vector<bool>& doomed) {
  Message* parent = list.parent.existing();
  if (!parent) return;
  const Reflection* r = parent->GetReflection();
  const int n = r->FieldSize(*parent, list.field);
  if (doomed.size() != static_cast<size_t>(n)) changed_size();
  int kept = 0;
  for (int i = 0; i < n; ++i) {
    if (doomed[static_cast<size_t>(i)]) continue;
    if (i != kept) r->SwapElements(parent, list.field, i, kept);
    ++kept;
  }
  for (int i = n; i > kept; --i) {
    if (list.of_messages()) {
      list.parent.owner->park(std::unique_ptr<Message>(r->ReleaseLast(parent, list.field)));
    } else {
      r->RemoveLast(parent, list.field);
    }
  }
}

void remove_at(RepeatedView& list, int i) {
  if (i < 0 || i >= list.size()) throw py::index_error("list index out of range");
  std::vector<bool> doomed(static_cast<size_t>(list.size()), false);
  doomed[static_cast<size_t>(i)] = true;
  remove_positions(list, doomed);
}

// Position of the first element from `start` equal to `x`, or -1.
int find(RepeatedView& list, py::handle x, int start = 0) {
  if (list.of_messages()) {
    if (!is_message_view(x) && !is_foreign_message(x)) return -1;
    const Descriptor* type = list.field->message_type();
    std::string name = is_message_view(x)
                           ? view_of(x).desc->full_name()
                           : x.attr("DESCRIPTOR").attr("full_name").cast<std::string>();
    if (name != type->full_name()) return -1;
    std::unique_ptr<Message> holder;
    const Message* target = message_for_reading(x, type, "comparison", &holder);
    const Message& parent = list.parent.read();
    for (int i = start; i < list.size(); ++i)
      if (messages_equal(parent.GetReflection()->GetRepeatedMessage(parent, list.field, i),
                         *target))
        return i;
    return -1;
  }
  for (int i = start; i < list.size(); ++i)
    if (get_item(list, i).equal(x)) return i;
  return -1;
}

// Reorders so that position k holds what was at order[k].
void permute(RepeatedView& list, const std::vector<int>& order) {
  Message* parent = list.parent.existing();
  if (!parent) return;
  const Reflection* r = parent->GetReflection();
  const size_t n = order.size();
  if (n != static_cast<size_t>(r->FieldSize(*parent, list.field))) changed_size();
  std::vector<int> pos_of(n), at(n);  // original index -> position, position -> original
  std::iota(pos_of.begin(), pos_of.end(), 0);
  std::iota(at.begin(), at.end(), 0);
  for (size_t k = 0; k < n; ++k) {
    const int want = order[k];
    const int from = pos_of[static_cast<size_t>(want)];
    if (from == static_cast<int>(k)) continue;
    r->SwapElements(parent, list.field, static_cast<int>(k), from);
    const int displaced = at[k];
    at[static_cast<size_t>(from)] = displaced;
    pos_of[static_cast<size_t>(displaced)] = from;
    at[k] = want;
    pos_of[static_cast<size_t>(want)] = static_cast<int>(k);
  }
}

void insert(RepeatedView& list, py::handle index, py::handle value) {
  Entry e = make_entry(list, value, "insert()");
  auto i_obj = py::reinterpret_steal<py::object>(PyNumber_Index(index.ptr()));
  if (!i_obj) throw py::error_already_set();
  Py_ssize_t i = PyLong_AsSsize_t(i_obj.ptr());
  if (i == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    i = py::int_(i_obj) < py::int_(0) ? PY_SSIZE_T_MIN : PY_SSIZE_T_MAX;
  }
  const Py_ssize_t n = list.size();
  if (i < 0) i = std::max<Py_ssize_t>(0, i + n);
  if (i > n) i = n;
  Message* parent = list.parent.write();
  push_entry(list, parent, std::move(e));
  for (Py_ssize_t k = n; k > i; --k)
    parent->GetReflection()->SwapElements(parent, list.field, static_cast<int>(k - 1),
                                          static_cast<int>(k));
}

void set_item(RepeatedView& list, py::handle key, py::handle value) {
  if (PySlice_Check(key.ptr())) {
    if (list.of_messages()) {
      throw py::type_error(
          "slice assignment is not supported for lists of messages; use del and "
          "insert/extend");
    }
    // Python's own list decides the outcome (extended slices must match in
    // length); every new value is checked before the field changes.
    py::list values = to_list(list);
    if (PyObject_SetItem(values.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
    std::vector<ScalarValue> converted;
    converted.reserve(values.size());
    for (auto v : values) converted.push_back(to_scalar(list.field, v));
    Message* parent = list.parent.write();
    parent->GetReflection()->ClearField(parent, list.field);
    for (const auto& v : converted) add_scalar(parent, list.field, v);
    return;
  }
  if (list.of_messages()) {
    // Copies into the element: views of it see the new contents.
    std::unique_ptr<Message> copy =
        detached_copy(value, list.field->message_type(), "item assignment");
    const int i = normalize_index(list, key);
    Message* parent = list.parent.existing();
    replace_contents(list.parent.owner,
                     parent->GetReflection()->MutableRepeatedMessage(parent, list.field, i),
                     std::move(copy));
    return;
  }
  ScalarValue v = to_scalar(list.field, value);
  const int i = normalize_index(list, key);
  set_scalar_element(list.parent.existing(), list.field, i, v);
}

void del_item(RepeatedView& list, py::handle key) {
  if (PySlice_Check(key.ptr())) {
    std::vector<int> positions = slice_positions(list, key);
    std::vector<bool> doomed(static_cast<size_t>(list.size()), false);
    bool any = false;
    for (int i : positions) {
      if (static_cast<size_t>(i) >= doomed.size()) changed_size();
      doomed[static_cast<size_t>(i)] = any = true;
    }
    if (any) remove_positions(list, doomed);
    return;
  }
  remove_at(list, normalize_index(list, key));
}

py::object compare_list(RepeatedView& list, py::handle other) {
  py::object rhs;
  if (py::isinstance<RepeatedView>(other)) {
    rhs = to_list(*py::cast<RepeatedView*>(other));
  } else if (PyList_Check(other.ptr())) {
    rhs = py::reinterpret_borrow<py::object>(other);
  } else if (PySequence_Check(other.ptr()) && !PyUnicode_Check(other.ptr()) &&
             !PyBytes_Check(other.ptr()) && !PyByteArray_Check(other.ptr()) &&
             !is_message_view(other)) {
    rhs = py::reinterpret_steal<py::object>(PySequence_List(other.ptr()));
    if (!rhs) throw py::error_already_set();
  } else {
    return py::reinterpret_borrow<py::object>(Py_NotImplemented);
  }
  return py::bool_(to_list(list).equal(rhs));
}

}  // namespace

void repeated_extend(RepeatedView& list, py::handle values) {
  if (list.of_messages() && (is_message_view(values) || is_foreign_message(values)))
    throw py::type_error("extend() takes an iterable of messages, not a message");
  if (PyUnicode_Check(values.ptr()) || PyBytes_Check(values.ptr()))
    throw py::type_error("extend() takes an iterable of values, not a string");
  std::vector<Entry> entries;
  for (auto v : py::iter(py::reinterpret_borrow<py::object>(values)))
    entries.push_back(make_entry(list, v, "extend()"));
  if (entries.empty()) return;
  Message* parent = list.parent.write();
  for (auto& e : entries) push_entry(list, parent, std::move(e));
}

void bind_repeated_view_class(py::module_& m) {
  py::class_<RepeatedView>(m, "RepeatedView", py::is_final(),
                           "A live list over one repeated field of a message.")
      .def("__len__", &RepeatedView::size)
      .def("__getitem__",
           [](RepeatedView& list, py::handle key) -> py::object {
             if (!PySlice_Check(key.ptr())) return get_item(list, normalize_index(list, key));
             py::list out;
             for (int i : slice_positions(list, key)) out.append(get_item(list, i));
             return out;
           })
      .def("__setitem__", &set_item)
      .def("__delitem__", &del_item)
      .def("__iter__", [](RepeatedView& list) { return py::iter(to_list(list)); })
      .def("__contains__", [](RepeatedView& list, py::handle x) { return find(list, x) >= 0; })
      .def("__eq__", &compare_list)
      .def("__repr__", [](RepeatedView& list) { return py::repr(to_list(list)); })
      .def("append",
           [](RepeatedView& list, py::handle value) {
             Entry e = make_entry(list, value, "append()");
             push_entry(list, list.parent.write(), std::move(e));
           })
      .def("extend", &repeated_extend)
      .def("MergeFrom", &repeated_extend)
      .def("insert", &insert)
      .def("remove",
           [](RepeatedView& list, py::handle x) {
             int i = find(list, x);
             if (i < 0) throw py::value_error("remove(x): x not in container");
             remove_at(list, i);
           })
      .def(
          "pop",
          [](RepeatedView& list, py::handle index) {
            if (list.size() == 0) throw py::index_error("pop from empty list");
            int i = normalize_index(list, index);
            py::object value = get_item(list, i);  // a message stays valid once parked
            remove_at(list, i);
            return value;
          },
          py::arg("index") = -1)
      .def("index",
           [](RepeatedView& list, py::handle x) {
             int i = find(list, x);
             if (i < 0) throw py::value_error("index(x): x not in list");
             return i;
           })
      .def("count",
           [](RepeatedView& list, py::handle x) {
             int c = 0;
             for (int i = find(list, x); i >= 0; i = find(list, x, i + 1)) ++c;
             return c;
           })
      .def("reverse",
           [](RepeatedView& list) {
             std::vector<int> order(static_cast<size_t>(list.size()));
             std::iota(order.rbegin(), order.rend(), 0);
             permute(list, order);
           })
      .def(
          "sort",
          [](RepeatedView& list, py::object key, bool reverse) {
            py::list items = to_list(list);
            py::list keys = items;
            if (!key.is_none()) {
              keys = py::list();
              for (auto item : items) keys.append(key(item));
            }
            py::object sorted = py::module_::import("builtins").attr("sorted");
            py::list order_py =
                sorted(py::module_::import("builtins").attr("range")(items.size()),
                       py::arg("key") = keys.attr("__getitem__"), py::arg("reverse") = reverse);
            std::vector<int> order;
            order.reserve(order_py.size());
            for (auto i : order_py) order.push_back(i.cast<int>());
            permute(list, order);
          },
          py::kw_only(), py::arg("key") = py::none(), py::arg("reverse") = false)
      .def("add",
           [](RepeatedView& list, py::kwargs fields) {
             if (!list.of_messages())
               throw py::attribute_error("add() is for lists of messages; use append()");
             // Built aside, so a bad keyword leaves the list unchanged.
             const Descriptor* type = list.field->message_type();
             std::unique_ptr<Message> fresh(
                 google::protobuf::MessageFactory::generated_factory()->GetPrototype(type)->New());
             MessageView init{list.parent.owner, fresh.get(), {}, type};
             init_fields(init, fields);
             Message* elem = fresh.get();
             Message* parent = list.parent.write();
             parent->GetReflection()->AddAllocatedMessage(parent, list.field, fresh.release());
             return make_view(MessageView{list.parent.owner, elem, {}, type});
           })
      .def(
          "__deepcopy__",
          [](RepeatedView& list, py::handle memo) {
            py::list out = to_list(list);
            if (!list.of_messages()) return out;
            py::object deepcopy = py::module_::import("copy").attr("deepcopy");
            py::list copies;
            for (auto item : out) copies.append(deepcopy(item, memo));
            return copies;
          },
          py::arg("memo") = py::none());
}

}  // namespace tarq::py_face
