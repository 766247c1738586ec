// IRGraph.def_attr and IRGraph.reduce_attr: the default attribute table,
// converted once at import into read-only Python objects that the class
// holds. Mappings are types.MappingProxyType over dicts in definition order;
// a versioned entry maps its int versions to such mappings. An entry that
// several types share (the reductions) becomes one Python object, so
// `IRGraph.def_attr["ReduceMax"] is IRGraph.reduce_attr`.
#include <pybind11/eval.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "arrays/numpy_convert.h"
#include "graph/graph_parts.h"
#include "tarq/api/ir_graph/attr_defaults.h"

namespace tarq::py_face {

namespace {

// Lists of the table: still `list` (they compare equal to plain lists and
// pass isinstance checks), but every mutating method refuses. Copies, deep
// copies and pickles are plain, writable lists.
constexpr const char* kReadOnlyListCode = R"(
class ReadOnlyList(list):
    """A list of the default attribute table; it cannot be changed."""

    __slots__ = ()

    def _read_only(self, *args, **kwargs):
        raise TypeError("the default attribute table is read-only")

    __setitem__ = __delitem__ = __iadd__ = __imul__ = _read_only
    append = extend = insert = pop = remove = clear = sort = reverse = _read_only

    def __reduce__(self):
        return (list, (list(self),))

    def __copy__(self):
        return list(self)

    def __deepcopy__(self, memo):
        # The elements are ints and strs, which deep copying keeps as they are.
        return list(self)
)";

class Converter {
 public:
  Converter() {
    py::dict ns;
    ns["__name__"] = "tarq.api.ir_graph";
    py::exec(kReadOnlyListCode, ns);
    read_only_list_ = ns["ReadOnlyList"];
    proxy_ = py::module_::import("types").attr("MappingProxyType");
  }

  // The same Python object for every use of one shared entry.
  py::object entry(const DefaultEntryPtr& e) {
    auto it = done_.find(e.get());
    if (it != done_.end()) return it->second;
    py::object out;
    if (e->versioned()) {
      py::dict versions;
      for (const auto& [since, defaults] : e->versions) versions[py::int_(since)] = map(defaults);
      out = freeze(versions);
    } else {
      out = map(e->flat);
    }
    done_.emplace(e.get(), out);
    return out;
  }

  py::object freeze(const py::dict& d) { return proxy_(d); }

 private:
  py::object map(const AttrDefaults& defaults) {
    py::dict d;
    for (const auto& [name, value] : defaults) d[py::str(name)] = convert(name, value);
    return freeze(d);
  }

  template <class T>
  py::object list_of(const std::vector<T>& v) {
    return read_only_list_(py::cast(v));
  }

  py::object convert(const std::string& name, const AttrValue& v) {
    if (std::holds_alternative<std::monostate>(v)) return py::none();
    if (auto* i = std::get_if<int64_t>(&v)) return py::int_(*i);
    if (auto* f = std::get_if<double>(&v)) return py::float_(*f);
    if (auto* s = std::get_if<std::string>(&v)) return py::str(*s);
    if (auto* l = std::get_if<std::vector<int64_t>>(&v)) return list_of(*l);
    if (auto* l = std::get_if<std::vector<std::string>>(&v)) return list_of(*l);
    if (auto* a = std::get_if<NdArray>(&v)) return to_numpy(*a);
    throw std::logic_error("default of attribute '" + name +
                           "' is of a kind the default table does not hold");
  }

  py::object read_only_list_;
  py::object proxy_;
  std::unordered_map<const DefaultEntry*, py::object> done_;
};

}  // namespace

void bind_default_table(GraphClass& cls) {
  Converter c;
  py::dict table;
  for (const auto& [op_type, entry] : def_attr()) table[py::str(op_type)] = c.entry(entry);
  // Read-only properties of the class itself: `IRGraph.def_attr = {}` raises
  // instead of hiding the table the graph reads.
  py::object def_attr_py = c.freeze(table);
  py::object reduce_attr_py = c.entry(reduce_attr());
  cls.def_property_readonly_static(
      "def_attr", [def_attr_py](py::object) { return def_attr_py; },
      "Per operator type, the attribute defaults get_attr falls back on (read-only).");
  cls.def_property_readonly_static(
      "reduce_attr", [reduce_attr_py](py::object) { return reduce_attr_py; },
      "The one entry the nine reduction types share (read-only).");
}

}  // namespace tarq::py_face
