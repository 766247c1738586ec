// can_fuse, create_ir_layers, the cost figures and the swap-up marks. The
// lambdas only convert arguments and results and call the core.
#include <onnx/onnx_pb.h>
#include <pybind11/stl.h>

#include "graph/graph_parts.h"
#include "graph/py_containers.h"
#include "messages/message_view.h"

namespace tarq::py_face {

namespace {

// The quant_tab default: one empty dict made once and shared by every call;
// it is only read.
py::dict& empty_quant_tab() {
  static py::dict* tab = new py::dict();  // lives as long as the interpreter
  return *tab;
}

// A quant_tab argument as the core reads it (null: empty).
std::shared_ptr<HostObject> quant_tab_of(py::handle obj) {
  if (obj.is_none() || obj.is(empty_quant_tab())) return nullptr;
  return host_from_py(obj);
}

// Pauses Python's cyclic garbage collector while a large result is
// converted: its many new lists would set off collections that walk every
// object there is and find nothing to free (the result holds no cycles).
class CollectorPause {
 public:
  CollectorPause() : gc_(py::module_::import("gc")) {
    paused_ = gc_.attr("isenabled")().cast<bool>();
    if (paused_) gc_.attr("disable")();
  }
  ~CollectorPause() {
    try {
      if (paused_) gc_.attr("enable")();
    } catch (const py::error_already_set&) {
      // Only while the interpreter shuts down; the collector is moot then.
    }
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  py::module_ gc_;
  bool paused_;
};

const RecordMap* as_records(const std::shared_ptr<HostObject>& host) {
  return dynamic_cast<const RecordMap*>(host.get());
}

}  // namespace

void bind_compiler_tables(GraphClass& cls, py::module_& m) {
  py::dict table;
  for (const auto& r : compiler_fuse_tab) {
    py::dict row;
    row["ops"] = py::cast(std::vector<std::string>{r.producer, r.consumer});
    row["target"] = py::cast(r.targets);
    table[py::str(r.name)] = row;
  }
  m.attr("compiler_fuse_tab") = table;

  cls.def(
      "can_fuse",
      [](IRGraph& g, py::handle node, py::handle node2, bool relu, py::handle quant_tab) {
        OwnerPtr keep, keep2;
        const auto* a = message_arg_as<onnx::NodeProto>(node, &keep);
        const auto* b = message_arg_as<onnx::NodeProto>(node2, &keep2);
        const auto tab = quant_tab_of(quant_tab);
        return g.can_fuse(*a, *b, relu, as_records(tab));
      },
      py::arg("node"), py::arg("node2"), py::arg("relu") = false,
      py::arg("quant_tab") = empty_quant_tab(),
      "Whether the producer `node` and its consumer `node2` run as one layer on npu_target:\n"
      "a row of compiler_fuse_tab (a Conv matched by its kind: 'Conv', 'DwConv' or\n"
      "'GroupConv'), else, with `relu`, any producer but an 'ex...' operator followed by Relu\n"
      "or Clip. Vetoed when quant_tab's record of node2's input 0 holds 'fake_convert' (KeyError\n"
      "when quant_tab is non-empty and has no record for it) or when op_target places either\n"
      "node's output 0 on 'cpu' or 'gpu'. ValueError when a Conv shape it needs is unknown.");

  cls.def(
      "create_ir_layers",
      [](std::shared_ptr<IRGraph> g, bool fuse_op, py::handle quant_tab, bool log,
         std::optional<int64_t> dynamic_idx) {
        const auto tab = quant_tab_of(quant_tab);
        IrLayers r = g->create_ir_layers(fuse_op, as_records(tab), log, dynamic_idx);
        const CollectorPause pause;
        py::list layers(r.layers.size());
        for (size_t k = 0; k < r.layers.size(); ++k) {
          layers[k] = wrap_message(r.layers[k], &r.layers[k]->root());
        }
        // A tensor's name is one str, in the reader table and in the freeable
        // list that names it; a layer id is one int in every list.
        std::vector<py::object> keys, ids_of;
        keys.reserve(r.next_ids.size());
        ids_of.resize(r.layers.size());
        auto id = [&](int64_t k) -> py::object& {
          auto& obj = ids_of.at(static_cast<size_t>(k));  // ids are layers'
          if (!obj) obj = py::int_(k);
          return obj;
        };
        py::dict next_ids;
        for (const auto& [name, ids] : r.next_ids) {
          py::list readers(ids.size());
          for (size_t i = 0; i < ids.size(); ++i) readers[i] = id(ids[i]);
          next_ids[keys.emplace_back(py::str(name.data(), name.size()))] = std::move(readers);
        }
        py::list frees(r.free_lists.size());
        for (size_t k = 0; k < r.free_lists.size(); ++k) {
          const auto names = r.can_free(k);
          py::list list(names.size());
          for (size_t i = 0; i < names.size(); ++i) {
            const auto it = r.next_ids.find(names[i]);
            list[i] = it != r.next_ids.end() ? keys[static_cast<size_t>(it - r.next_ids.begin())]
                                             : py::str(names[i].data(), names[i].size());
          }
          frees[k] = std::move(list);
        }
        return py::make_tuple(layers, frees, next_ids);
      },
      py::arg("fuse_op") = false, py::arg("quant_tab") = empty_quant_tab(), py::arg("log") = true,
      py::arg("dynamic_idx") = py::none(),
      "Returns (ir_layers, ir_can_frees, ir_next_ids): one model per node in model order (with\n"
      "`fuse_op`, a node and its single consumer as one when can_fuse allows it, the rectifier\n"
      "rule on), holding the value information of its inputs (also what its subgraphs read\n"
      "from outside) and outputs, its constants and every opset the model imports; per layer\n"
      "the tensors it may free (the graph's can_frees lists, a fused consumer's appended to its\n"
      "producer's); per tensor the ids of the layers that read it. Value information comes\n"
      "from shape inference with data propagation; the graph keeps the last inference and\n"
      "takes it again while the model's content is unchanged. With `dynamic_idx`, the shapes and\n"
      "constants of that shape configuration. A layer that cannot be made valid is reported\n"
      "(tarqLog.e) with its id and the reason, after the export's other messages. The layers\n"
      "of one export share their memory: it is freed with the last of them. `log` shows\n"
      "progress.");

  cls.def(
      "calc_params_tflops", [](const IRGraph& g) { return g.calc_params_tflops(); },
      "(parameter MiB, tera-operations): 4 bytes per initializer element; 2 operations per\n"
      "multiply-accumulate of Conv, ConvTranspose, Gemm, MatMul, exMatMul, BatchNormalization,\n"
      "Relu and Add nodes. ValueError when such a node's shapes are unknown or not fixed.");
  cls.def(
      "calc_node_freq",
      [](const IRGraph& g) {
        py::dict out;
        for (const auto& [op, n] : g.calc_node_freq()) out[py::str(op)] = n;
        return out;
      },
      "Operator type -> node count, keys in ascending order.");

  cls.def("update_swap_up", &IRGraph::update_swap_up,
          "Recomputes node_swap_up and the operands' swap_up marks from the swap-up operator\n"
          "list (companions.get_swap_ops()).");
  cls.def("set_swap_up", &IRGraph::set_swap_up, py::arg("names"),
          "Appends each name to node_swap_up unless it is there.");
  cls.def("ban_swap_up", &IRGraph::ban_swap_up, py::arg("names"),
          "Appends each name to node_ban_swap_up unless it is there.");
}

}  // namespace tarq::py_face
