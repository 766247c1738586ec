// Constants, shapes, element types, constant nodes, precision and
// quantization annotations. Arrays are numpy arrays (by-reference reads of
// cached weights share their memory, read-only); shapes are lists.
#include <onnx/onnx_pb.h>
#include <pybind11/stl.h>

#include "arrays/numpy_convert.h"
#include "graph/graph_parts.h"
#include "graph/py_containers.h"
#include "messages/message_view.h"

namespace tarq::py_face {

namespace {

// A weight the cache took by reference is read-only for everyone: the
// caller's own numpy array included, when the cache shares its memory.
void freeze_if_cached(const IRGraph& g, const std::string& name, py::handle arr) {
  if (!g.initializer_dat || !py::isinstance<py::array>(arr)) return;
  py::object cache = host_to_py(g.initializer_dat);
  py::str key(name);
  if (!cache.contains(key)) return;
  py::object np = py::module_::import("numpy");
  if (py::cast<bool>(np.attr("may_share_memory")(arr, cache[key]))) {
    arr.attr("flags").attr("writeable") = false;
  }
}

// While a configuration is selected, a value recorded or given for it is
// handed out as the very object the table holds (not an array made from
// it); None when the table does not answer.
py::object config_value(const std::shared_ptr<ArrayConfigs>& table, const std::string& name,
                        int64_t idx) {
  auto* backed = dynamic_cast<PyBacked*>(table.get());
  if (!backed) return py::none();
  py::str key(name);
  if (!backed->obj.contains(key)) return py::none();
  return backed->obj[key][py::int_(idx)];
}

py::object const_read_to_py(const IRGraph& g, const IRGraph::ConstRead& r) {
  if (const auto* a = std::get_if<NdArray>(&r)) return to_numpy(*a);
  if (const auto* t = std::get_if<onnx::TensorProto*>(&r)) return wrap_message(g.model_owner(), *t);
  return py::none();
}

}  // namespace

void bind_tensor_data(GraphClass& cls) {
  cls.def(
      "get_const",
      [](IRGraph& g, const std::string& name, bool to_array, bool ref, bool from_set) {
        if (g.dynamic_idx) {
          const int64_t idx = *g.dynamic_idx;
          py::object v = from_set ? config_value(g.dynamic_diff_set, name, idx) : py::none();
          if (v.is_none()) v = config_value(g.dynamic_diff, name, idx);
          if (!v.is_none()) return v;
        }
        return const_read_to_py(g, g.get_const(name, to_array, ref, from_set));
      },
      py::arg("name"), py::arg("to_array") = true, py::arg("ref") = true,
      py::arg("from_set") = true,
      "The constant's value as an array (ref=True: a cached weight itself, read-only; else a\n"
      "writable copy), or with to_array=False the initializer; None when `name` is no constant.\n"
      "While a shape configuration is selected, its own value wins, as an array.");
  cls.def(
      "get_const_optional",
      [](IRGraph& g, py::handle node, int64_t idx, bool to_array, bool ref) {
        OwnerPtr keep;
        auto* n = message_arg_as<onnx::NodeProto>(node, &keep, false);
        return const_read_to_py(g, g.get_const_optional(*n, idx, to_array, ref));
      },
      py::arg("node"), py::arg("idx"), py::arg("to_array") = true, py::arg("ref") = false,
      "Input `idx` of the node as get_const reads it, or the default of that optional input.");
  cls.def(
      "set_array",
      [](IRGraph& g, py::handle c, py::handle arr, bool ref) {
        OwnerPtr keep;
        auto* t = message_arg_as<onnx::TensorProto>(c, &keep);
        const std::string name = t->name();
        const bool done = g.set_array(*t, from_numpy(arr), ref, keep.get());
        if (done && ref) freeze_if_cached(g, name, arr);
        return done;
      },
      py::arg("const"), py::arg("arr"), py::arg("ref") = true,
      "Overwrites the initializer's data with an array of its shape and element type; False,\n"
      "with nothing changed, on a mismatch.");
  cls.def(
      "set_const",
      [](IRGraph& g, const std::string& name, py::handle arr, bool ref, py::handle model) {
        NdArray value = from_numpy(arr);
        if (model.is_none()) {
          const bool recorded = g.dynamic_idx.has_value();
          g.set_const(name, value, ref);
          if (ref && !recorded) freeze_if_cached(g, name, arr);
          return;
        }
        OwnerPtr keep;
        auto* m = message_arg_as<onnx::ModelProto>(model, &keep);
        g.set_const(name, value, ref, m, keep.get());
      },
      py::arg("name"), py::arg("arr"), py::arg("ref") = true, py::arg("model") = py::none(),
      "Writes the constant, creating it (with a graph input) when needed; more than 1 MiB goes\n"
      "to the weight cache when there is one. `model` (a view) is written instead of the graph's.");

  cls.def(
      "get_shape",
      [](IRGraph& g, const std::string& name, bool from_set) -> py::object {
        auto s = g.get_shape(name, from_set);
        return s ? py::object(shape_to_py(*s)) : py::object(py::none());
      },
      py::arg("name"), py::arg("from_set") = true,
      "The tensor's shape as a new list (int, str for a symbolic dimension, None), or None.");
  cls.def("get_size", &IRGraph::get_size, py::arg("name"),
          "The element count, or None when the shape is unknown or not fully fixed.");
  cls.def(
      "get_dtype",
      [](const IRGraph& g, const std::string& name) -> py::object {
        const int32_t t = g.get_dtype(name);
        return t == kUndefined ? py::object(py::none()) : py::object(dtype_of(t));
      },
      py::arg("name"), "The tensor's numpy dtype, or None.");
  cls.def(
      "set_shape",
      [](IRGraph& g, const std::string& name, py::handle shape, bool check_size,
         bool update_operands, py::handle dtype) {
        const int32_t t = dtype.is_none() ? kUndefined : elem_type_of(dtype);
        return g.set_shape(name, shape_from_py(shape), check_size, update_operands, t);
      },
      py::arg("name"), py::arg("shape"), py::arg("check_size") = true,
      py::arg("update_operands") = true, py::arg("dtype") = py::none(),
      "Writes the shape (the last -1 inferred) wherever the tensor is described; returns True.");

  cls.def(
      "get_constant",
      [](const IRGraph& g, const std::string& name) -> py::object {
        auto a = g.get_constant(name);
        return a ? py::object(to_numpy(*a)) : py::object(py::none());
      },
      py::arg("name"), "The value of a tensor a Constant node produces, else None.");
  cls.def("constant_to_initializer", &IRGraph::constant_to_initializer,
          "Turns top-level Constant nodes into initializers (but those feeding a graph output)\n"
          "and rebuilds.");
  cls.def("convert_to_fp32", &IRGraph::convert_to_fp32,
          "FLOAT16 and DOUBLE become FLOAT wherever the model states an element type.");
  cls.def("get_quant_ann", &IRGraph::get_quant_ann, py::arg("name"), py::arg("attr_name"),
          "The value of the tensor's first quantization-annotation pair `attr_name`, or ''.");
  cls.def(
      "set_dynamic_idx",
      [](IRGraph& g, std::optional<int64_t> idx, bool update_set) {
        g.set_dynamic_idx(idx, update_set);
      },
      py::arg("idx"), py::arg("update_set") = false,
      "Selects shape configuration idx, or (None) lifts the selection; with update_set the\n"
      "values set_const and set_shape recorded per configuration are committed. The recording\n"
      "tables start empty after any call with None.");
  cls.def(
      "update_dynamic_shapes",
      [](IRGraph& g, py::object shapes, bool log) {
        g.update_dynamic_shapes(typed_from_py<PyShapesMap>(shapes), log);
      },
      py::arg("shapes") = py::none(), py::arg("log") = false,
      "With a non-empty {input: [shape per configuration]} table: takes it as dynamic_shapes.\n"
      "Otherwise derives every tensor's shape per configuration by shape inference on a copy of\n"
      "the model (the graph's own model is unchanged).");
  cls.def("expand_batch", &IRGraph::expand_batch, py::arg("batch_size"),
          "Rebuilds the model for batch_size samples per run. False, with a warning that says\n"
          "why, when the model cannot be expanded: the model and tables are then unchanged.");
}

}  // namespace tarq::py_face
