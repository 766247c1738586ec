// Operand, IRGraph, the operator lists and load_model. The lambdas only
// convert arguments and call the core.
#include <onnx/onnx_pb.h>
#include <pybind11/stl.h>

#include "arrays/numpy_convert.h"
#include "bindings.h"
#include "graph/graph_parts.h"
#include "graph/py_containers.h"
#include "graph/table_views.h"
#include "messages/message_view.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq::py_face {

namespace {

py::object dtype_or_none(int32_t code) {
  return code == kUndefined ? py::object(py::none()) : py::object(dtype_of(code));
}

std::string path_arg(py::handle obj) {
  return py::cast<std::string>(py::module_::import("os").attr("fspath")(obj));
}

// The model argument: a model view is used as is (the graph shares it); a
// message of the `onnx` package is copied in.
OwnerPtr model_owner_arg(py::handle obj, bool check_depth = true) {
  MessageArg a = message_arg(obj, onnx::ModelProto::descriptor(), check_depth);
  if (a.msg == &a.owner->root()) return a.owner;
  // A model view that is not the root of its tree: copy it out.
  auto copy = std::make_unique<onnx::ModelProto>(*static_cast<onnx::ModelProto*>(a.msg));
  return std::make_shared<MessageOwner>(std::move(copy));
}

// edit_par: None or an empty mapping means absent. A given mapping must hold
// "inputs" and "outputs", and "shapes" and "values" when inputs are named.
std::optional<EditPar> edit_par_arg(py::handle obj) {
  if (obj.is_none() || py::len(obj) == 0) return std::nullopt;
  EditPar p;
  auto item = [&](const char* key) -> py::object {
    if (!obj.contains(key)) throw KeyError(std::string("edit_par has no '") + key + "' entry");
    return obj[py::str(key)];
  };
  p.inputs = py::cast<std::vector<std::string>>(item("inputs"));
  p.outputs = py::cast<std::vector<std::string>>(item("outputs"));
  if (!p.inputs.empty()) {
    for (auto s : item("shapes")) {
      p.shapes.push_back(s.is_none() ? std::nullopt : std::optional<Shape>(shape_from_py(s)));
    }
    py::object values = item("values");
    if (!values.is_none()) {
      for (auto v : values) {
        p.values.push_back(v.is_none() ? std::nullopt : std::optional<NdArray>(from_numpy(v)));
      }
    }
  }
  return p;
}

// Views of nodes found through operand records: each carries the owner of
// its own model, which the record knows (the model of the last rebuild, or
// another model a host linked a node from).
py::list node_views(const IRGraph::NodeLinks& links) {
  py::list out;
  for (const auto& [node, op] : links) out.append(node_view(op, node));
  return out;
}

// A host container property: the very object the caller gave, held as the
// Python-backed container PyC (PyHostObject for state the graph only keeps).
template <class PyC, auto Field>
void def_host_field(GraphClass& cls, const char* name) {
  cls.def_property(
      name, [](const IRGraph& g) { return host_to_py(g.*Field); },
      [](IRGraph& g, py::object v) { g.*Field = typed_from_py<PyC>(v); });
}

}  // namespace

std::optional<EditPar> parse_edit_par(py::handle obj) { return edit_par_arg(obj); }

std::string fs_path(py::handle obj) { return path_arg(obj); }

void bind_graph(py::module_& m) {
  bind_table_views(m);

  py::class_<Operand, std::shared_ptr<Operand>>(
      m, "Operand", "The record of one tensor name: its producer, consumers, shape and type.")
      .def(py::init<>())
      .def_property(
          "input", [](const std::shared_ptr<Operand>& op) { return node_view(op, op->input); },
          [](const std::shared_ptr<Operand>& op, py::object node) {
            op->input = node.is_none() ? nullptr : node_for_operand(op, node);
          })
      .def_property(
          "outputs", [](const std::shared_ptr<Operand>& op) { return ConsumerList{op}; },
          [](const std::shared_ptr<Operand>& op, py::iterable nodes) {
            std::vector<onnx::NodeProto*> list;
            for (auto n : nodes) list.push_back(node_for_operand(op, n));
            op->outputs = std::move(list);
          })
      .def_property(
          "shape",
          [](const Operand& op) {
            Shape shape = op.shape;  // making the list runs Python code, which may assign it
            return shape_to_py(shape);
          },
          [](Operand& op, py::handle s) { op.shape = shape_from_py(s); })
      .def_property(
          "dtype", [](const Operand& op) { return dtype_or_none(op.dtype); },
          [](Operand& op, py::handle d) { op.dtype = d.is_none() ? kUndefined : elem_type_of(d); })
      .def_readwrite("used_cnt", &Operand::used_cnt)
      .def_readwrite("swap_up", &Operand::swap_up)
      .def("__repr__", [](const Operand& op) {
        std::string producer = op.input ? "'" + op.input->name() + "'" : "None";
        std::string head = "Operand(input=" + producer +
                           ", outputs=" + std::to_string(op.outputs.size()) + " nodes, shape=";
        Shape shape = op.shape;
        int32_t dtype = op.dtype;
        return head + py::cast<std::string>(py::repr(shape_to_py(shape))) +
               ", dtype=" + py::cast<std::string>(py::str(dtype_or_none(dtype))) + ")";
      });

  py::class_<IRGraph, std::shared_ptr<IRGraph>> cls(
      m, "IRGraph", py::dynamic_attr(),
      "One ONNX model and the index tables over it.\n\n"
      "IRGraph(onnx_model, opt_level=3, check=False, verbose=False, qat=False, npu_target='mini',\n"
      "        dynamic_shapes=None, initializer_dat=None, edit_par=None, ori_model_path=None,\n"
      "        op_target=None, share_weights=None, dynamic_diff=None, weights_for_align=None)\n\n"
      "A model view is used as is (shared with the caller); an onnx.ModelProto is copied in.\n"
      "Containers given by the caller are held by reference, not copied.");
  cls.def(
      py::init([](py::object onnx_model, int64_t opt_level, bool check, bool verbose, bool qat,
                  std::string npu_target, py::object dynamic_shapes, py::object initializer_dat,
                  py::object edit_par, py::object ori_model_path, py::object op_target,
                  py::object share_weights, py::object dynamic_diff, py::object weights_for_align) {
        IRGraphOptions o;
        o.opt_level = opt_level;
        o.check = check;
        o.verbose = verbose;
        o.qat = qat;
        o.npu_target = std::move(npu_target);
        o.dynamic_shapes = typed_from_py<PyShapesMap>(dynamic_shapes);
        o.initializer_dat = typed_from_py<PyArrayMap>(initializer_dat);
        auto ep = edit_par_arg(edit_par);
        o.edit_par = ep ? &*ep : nullptr;
        if (!ori_model_path.is_none()) o.ori_model_path = path_arg(ori_model_path);
        o.op_target = host_from_py(op_target);
        o.share_weights = host_from_py(share_weights);
        o.dynamic_diff = typed_from_py<PyConfigTable<NdArray>>(dynamic_diff);
        o.weights_for_align = typed_from_py<PyNameList>(weights_for_align);
        o.host_factory = std::make_shared<PyHostFactory>();
        // The rebuild checks the model's nesting itself.
        return std::make_shared<IRGraph>(model_owner_arg(onnx_model, false), o);
      }),
      py::arg("onnx_model"), py::arg("opt_level") = 3, py::arg("check") = false,
      py::arg("verbose") = false, py::arg("qat") = false, py::arg("npu_target") = "mini",
      py::arg("dynamic_shapes") = py::none(), py::arg("initializer_dat") = py::none(),
      py::arg("edit_par") = py::none(), py::arg("ori_model_path") = py::none(),
      py::arg("op_target") = py::none(), py::arg("share_weights") = py::none(),
      py::arg("dynamic_diff") = py::none(), py::arg("weights_for_align") = py::none());

  cls.def(
      "rebuild",
      [](IRGraph& g, bool clean_shape, bool sort_nodes, py::object edit_par, bool clean_node) {
        RebuildOptions o;
        o.clean_shape = clean_shape;
        o.sort_nodes = sort_nodes;
        auto ep = edit_par_arg(edit_par);
        o.edit_par = ep ? &*ep : nullptr;
        o.clean_node = clean_node;
        g.rebuild(o);
      },
      py::arg("clean_shape") = false, py::arg("sort_nodes") = false,
      py::arg("edit_par") = py::none(), py::arg("clean_node") = false,
      "Cleans the model and recreates every index table from it.");

  // Queries: a string is a tensor name, anything else a node.
  cls.def(
      "next_nodes",
      [](IRGraph& g, py::handle x) -> py::object {
        if (py::isinstance<py::str>(x)) {
          auto op = g.operand(py::cast<std::string>(x));
          return op ? py::cast(ConsumerList{op}) : py::object(py::list());
        }
        OwnerPtr keep;
        return node_views(g.next_node_links(*message_arg_as<onnx::NodeProto>(x, &keep)));
      },
      py::arg("node_operand"),
      "Consumers of a tensor (its operand's own list, a live view) or of a node's outputs.");
  cls.def(
      "pre_nodes",
      [](IRGraph& g, py::handle x) {
        if (py::isinstance<py::str>(x)) {
          auto op = g.operand(py::cast<std::string>(x));
          IRGraph::NodeLinks links;
          if (op && op->input) links.emplace_back(op->input, op);
          return node_views(links);
        }
        OwnerPtr keep;
        return node_views(g.pre_node_links(*message_arg_as<onnx::NodeProto>(x, &keep)));
      },
      py::arg("node_operand"), "Producers of a tensor or of a node's inputs.");
  cls.def(
      "index",
      [](IRGraph& g, py::handle node) {
        OwnerPtr keep;
        return g.index(*message_arg_as<onnx::NodeProto>(node, &keep, false));  // by name
      },
      py::arg("node"), "Position of the node's name in `nodes`, or -1.");
  cls.def(
      "get_array",
      [](IRGraph& g, py::handle c, bool ref) -> py::object {
        if (c.is_none()) return py::none();
        OwnerPtr keep;
        auto a = g.get_array(message_arg_as<onnx::TensorProto>(c, &keep), ref);
        return a ? py::object(to_numpy(*a)) : py::object(py::none());
      },
      py::arg("const"), py::arg("ref") = true,
      "The constant's value: the cached array when initializer_dat holds its name, else the\n"
      "tensor converted. With ref=True it may be the cached (read-only) array itself.");
  cls.def("is_invalid", &IRGraph::is_invalid, py::arg("operand"),
          "True when no node consumes the tensor and it is not a graph output.");
  cls.def(
      "infer_shapes",
      [](IRGraph& g, py::handle model, bool check, bool dynamic, bool data_prop) {
        OwnerPtr owner = g.infer_shapes(model_owner_arg(model), check, dynamic, data_prop);
        return wrap_message(owner, &owner->root());
      },
      py::arg("model"), py::arg("check") = true, py::arg("dynamic") = false,
      py::arg("data_prop") = false,
      "Shape-infers a model (a view is changed in place, an onnx.ModelProto is copied in) and\n"
      "returns a view of the result; raises ValidationError when the checker rejects it.\n"
      "`data_prop` turns on ONNX's data propagation (shapes computed through Shape -> Gather ->\n"
      "Concat chains).");
  cls.def("verify", &IRGraph::verify,
          "Recomputes every index table from the model alone and compares it with the live one;\n"
          "raises VerifyError (a ValueError) naming the table, the key, what the model implies\n"
          "and what the table holds at the first difference.");
  cls.def("_clean_model", &IRGraph::_clean_model, py::arg("clean_shape"),
          py::arg("clean_node") = false,
          "Brings the model into canonical form and shape-infers it; returns 0.");
  cls.def("_create_can_frees", &IRGraph::_create_can_frees);
  cls.def("create_tensor_dependency_map", &IRGraph::create_tensor_dependency_map);
  cls.def("_sort_nodes", &IRGraph::_sort_nodes);

  // The model and its parts.
  cls.def_property(
      "model", [](IRGraph& g) { return wrap_message(g.model_owner(), &g.model()); },
      [](IRGraph& g, py::handle m) { g.set_model(model_owner_arg(m)); });
  // The graph of the last rebuild: after `model = other` it is still the
  // previous model's graph (kept alive) until the next rebuild.
  cls.def_property_readonly(
      "graph",
      [](IRGraph& g) -> py::object {
        return g.graph() ? wrap_message(g.graph_owner(), g.graph()) : py::none();
      },
      "model.graph as of the last rebuild; after `model = other` the previous model's graph\n"
      "(kept alive, readable and writable) until the next rebuild.");
  cls.def_property_readonly(
      "node",
      [](IRGraph& g) -> py::object {
        if (!g.graph()) return py::none();
        return wrap_message(g.graph_owner(), g.graph()).attr("node");
      },
      "graph.node of the graph above.");

  // Index tables: live read-only views.
  cls.def_property_readonly("operands",
                            [](const IRGraph& g) { return view_of(g.operands_table()); });
  cls.def_property_readonly("consts", [](const IRGraph& g) { return view_of(g.consts_table()); });
  cls.def_property_readonly("nodes", [](const IRGraph& g) { return view_of(g.nodes_table()); });
  cls.def_property_readonly("inputs_with_const",
                            [](const IRGraph& g) { return view_of(g.inputs_with_const_table()); });
  cls.def_property_readonly("inputs", [](const IRGraph& g) {
    auto t = g.inputs_table();
    return names_view(std::const_pointer_cast<NameVector>(t), t.get(), false);
  });
  cls.def_property_readonly("outputs", [](const IRGraph& g) {
    auto t = g.outputs_table();
    return names_view(std::const_pointer_cast<NameVector>(t), t.get(), false);
  });
  cls.def_property_readonly("can_frees",
                            [](const IRGraph& g) { return view_of(g.can_frees_table()); });
  cls.def_property_readonly("tensor_dependency_map",
                            [](const IRGraph& g) { return view_of(g.tensor_dependency_table()); });
  cls.def_property_readonly("node_dependency_map",
                            [](const IRGraph& g) { return view_of(g.node_dependency_table()); });
  cls.def_property(
      "node_swap_up",
      [](std::shared_ptr<IRGraph> g) { return names_view(g, &g->node_swap_up, true); },
      [](IRGraph& g, std::vector<std::string> v) { g.node_swap_up = std::move(v); });
  cls.def_property(
      "node_ban_swap_up",
      [](std::shared_ptr<IRGraph> g) { return names_view(g, &g->node_ban_swap_up, true); },
      [](IRGraph& g, std::vector<std::string> v) { g.node_ban_swap_up = std::move(v); });

  // Plain fields.
  cls.def_readwrite("has_extend_op", &IRGraph::has_extend_op)
      .def_readwrite("n_bytes", &IRGraph::n_bytes)
      .def_readwrite("opset", &IRGraph::opset)
      .def_readwrite("n_dynamic", &IRGraph::n_dynamic)
      .def_readwrite("dynamic_idx", &IRGraph::dynamic_idx)
      .def_readwrite("opt_level", &IRGraph::opt_level)
      .def_readwrite("check", &IRGraph::check)
      .def_readwrite("verbose", &IRGraph::verbose)
      .def_readwrite("qat", &IRGraph::qat)
      .def_readwrite("npu_target", &IRGraph::npu_target)
      .def_readwrite("expand_batch_size", &IRGraph::expand_batch_size)
      .def_readwrite("unsqueeze_2d_mode", &IRGraph::unsqueeze_2d_mode);
  cls.def_property(
      "ori_model_path", [](const IRGraph& g) { return g.ori_model_path; },
      [](IRGraph& g, py::object p) {
        g.ori_model_path = p.is_none() ? std::nullopt : std::optional<std::string>(path_arg(p));
      });

  // Host containers: the very objects the caller gave.
  def_host_field<PyArrayMap, &IRGraph::initializer_dat>(cls, "initializer_dat");
  def_host_field<PyShapesMap, &IRGraph::dynamic_shapes>(cls, "dynamic_shapes");
  def_host_field<PyNameList, &IRGraph::weights_for_align>(cls, "weights_for_align");
  def_host_field<PyConfigTable<NdArray>, &IRGraph::dynamic_diff>(cls, "dynamic_diff");
  def_host_field<PyHostObject, &IRGraph::op_target>(cls, "op_target");
  def_host_field<PyHostObject, &IRGraph::share_weights>(cls, "share_weights");
  def_host_field<PyNodeChanges, &IRGraph::nodes_chg>(cls, "nodes_chg");
  def_host_field<PyConfigTable<NdArray>, &IRGraph::dynamic_diff_set>(cls, "dynamic_diff_set");
  def_host_field<PyConfigTable<Shape>, &IRGraph::dynamic_shapes_set>(cls, "dynamic_shapes_set");
  def_host_field<PyConfigTable<int32_t>, &IRGraph::dynamic_dtypes_set>(cls, "dynamic_dtypes_set");
  def_host_field<PyHostObject, &IRGraph::op_convert_history>(cls, "op_convert_history");
  def_host_field<PyHostObject, &IRGraph::op_convert_stop>(cls, "op_convert_stop");
  def_host_field<PyHostObject, &IRGraph::op_ruler_pause>(cls, "op_ruler_pause");
  def_host_field<PyHostObject, &IRGraph::const_share_tab>(cls, "const_share_tab");
  def_host_field<PyHostObject, &IRGraph::do_quantization>(cls, "do_quantization");
  def_host_field<PyHostObject, &IRGraph::quantize_dtype>(cls, "quantize_dtype");
  def_host_field<PyHostObject, &IRGraph::act_quant_dtype>(cls, "act_quant_dtype");

  bind_model_assembly(cls);
  bind_default_table(cls);
  bind_attributes(cls);
  bind_tensor_data(cls);
  bind_graph_edit(cls);
  bind_compiler_tables(cls, m);

  cls.def("__repr__", [](const IRGraph& g) {
    return "<IRGraph '" + g.model().graph().name() +
           "': " + std::to_string(g.model().graph().node_size()) + " nodes, " +
           std::to_string(g.inputs().size()) + " inputs, " + std::to_string(g.outputs().size()) +
           " outputs, opset " + std::to_string(g.opset) + ">";
  });

  m.attr("REDUCE_OPS") = py::cast(REDUCE_OPS);
  m.attr("ELEMENTWISE_ALU_OPS") = py::cast(ELEMENTWISE_ALU_OPS);
  m.attr("ACTIVATION_OPS") = py::cast(ACTIVATION_OPS);

  m.def(
      "load_model",
      [](py::handle path, bool load_external_data) {
        auto owner = load_model(path_arg(path), load_external_data);
        return wrap_message(owner, &owner->root());
      },
      py::arg("path"), py::arg("load_external_data") = false,
      "Reads an ONNX model file into a model view. Data kept in external files is read in from\n"
      "the file's folder only with load_external_data=True (OSError when it cannot be);\n"
      "otherwise a graph with a weight cache and ori_model_path reads it when it is built.");
}

}  // namespace tarq::py_face
