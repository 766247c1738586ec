// tarqLog and the companion services: value-information utilities, the
// extended-operator registry, swap rules, the saver threshold, progress.
#include <onnx/checker.h>
#include <onnx/onnx_pb.h>
#include <pybind11/stl.h>

#include "arrays/numpy_convert.h"
#include "bindings.h"
#include "graph/py_containers.h"
#include "messages/message_view.h"
#include "tarq/api/ir_graph/companions/extend_ops.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/progress.h"
#include "tarq/api/ir_graph/companions/settings.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq::py_face {

namespace {

// Reports go to the Python logger "tarq"; the record's message is the text.
void install_python_log_sink() {
  // Leaked on purpose: the sink may run while the interpreter shuts down.
  static auto* logger = new py::object(py::module_::import("logging").attr("getLogger")("tarq"));
  TarqLog::set_sink([](LogLevel level, const std::string& text) {
    py::gil_scoped_acquire gil;
    static const char* methods[] = {"error", "warning", "debug", "info"};
    try {
      logger->attr(methods[static_cast<int>(level)])(py::str(text));
    } catch (py::error_already_set& e) {
      // A failing handler must not end the operation that reported.
      e.discard_as_unraisable("tarqLog");
    }
  });
  py::module_::import("atexit").attr("register")(
      py::cpp_function([]() { TarqLog::set_sink(nullptr); }));
}

// Walks `seq` showing the progress display; yields the elements unchanged.
class ProgressIter {
 public:
  ProgressIter(py::iterable seq, std::string label, int width) {
    items_ = py::list(seq);
    bar_ = std::make_unique<Progress>(std::move(label), items_.size(), width);
  }
  py::object next() {
    if (!bar_) throw py::stop_iteration();  // exhausted: stays so
    if (pos_ > 0) bar_->advance();
    if (pos_ >= items_.size()) {
      bar_.reset();
      throw py::stop_iteration();
    }
    return items_[pos_++];
  }

 private:
  py::list items_;
  size_t pos_ = 0;
  std::unique_ptr<Progress> bar_;
};

}  // namespace

void bind_companions(py::module_& m, py::module_& c) {
  install_python_log_sink();
  py::class_<TarqLog>(m, "tarqLog",
                      "The toolkit's logger: e, w, d, i report to the Python logger 'tarq'.")
      .def_static("e", &TarqLog::e, py::arg("text"), "Error report.")
      .def_static("w", &TarqLog::w, py::arg("text"), "Warning.")
      .def_static("d", &TarqLog::d, py::arg("text"), "Debug note.")
      .def_static("i", &TarqLog::i, py::arg("text"), "Information.");

  c.def(
      "inf_shape",
      [](py::handle vi, bool none) {
        OwnerPtr keep;
        return shape_to_py(inf_shape(*message_arg_as<onnx::ValueInfoProto>(vi, &keep), none));
      },
      py::arg("value_info"), py::arg("none") = false,
      "The tensor shape of a value info: int (fixed), str (symbolic) or None (neither; with\n"
      "none=True also symbolic ones).");
  c.def(
      "inf_shape_set",
      [](py::handle vi, py::handle shape) {
        OwnerPtr keep;
        Shape s = shape_from_py(shape);  // before the message is found: it runs Python code
        auto* target = message_arg_as<onnx::ValueInfoProto>(vi, &keep);
        inf_shape_set(*target, s, keep.get());
      },
      py::arg("value_info"), py::arg("shape"),
      "Writes the shape into a value info view (an onnx package message is not changed).");
  c.def(
      "to_np_type",
      [](int32_t code) -> py::object {
        int32_t t = to_np_type(code);
        return t == kUndefined ? py::object(py::none()) : py::object(dtype_of(t));
      },
      py::arg("elem_type"), "numpy dtype of an ONNX element type (None for UNDEFINED).");
  c.def(
      "to_tensor_type", [](py::handle dtype) { return to_tensor_type(elem_type_of(dtype)); },
      py::arg("dtype"), "ONNX element type of a numpy dtype.");

  c.def(
      "get_extend_ops",
      []() {
        py::dict d;
        for (const auto& kv : extend_ops()) d[py::str(kv.first)] = kv.second.same_as_input0;
        return d;
      },
      "The extended operator types: name -> True when outputs take input 0's shape and type.");
  c.def(
      "set_extend_ops",
      [](py::handle ops) {
        ExtendOpRegistry reg;
        bool mapping = py::hasattr(ops, "items");
        for (auto k : ops) {
          reg.insert_or_assign(py::cast<std::string>(k),
                               ExtendOp{mapping && py::cast<bool>(ops[k])});
        }
        set_extend_ops(std::move(reg));
      },
      py::arg("ops"),
      "Replaces the registry: a mapping name -> bool (outputs like input 0), or names.");
  c.def(
      "update_model_value_info",
      [](py::object graph, py::object model, bool dynamic) {
        OwnerPtr owner;
        auto* mp = message_arg_as<onnx::ModelProto>(model, &owner);
        IRGraph* g = graph.is_none() ? nullptr : graph.cast<IRGraph*>();
        bool uses = update_model_value_info(g, *mp, dynamic, owner.get());
        py::object out = is_message_view(model) ? model : wrap_message(owner, mp);
        return py::make_tuple(out, uses);
      },
      py::arg("graph"), py::arg("model"), py::arg("dynamic") = false,
      "Completes the value information of extended operators; returns (model, uses_any).");

  c.def(
      "check_model",
      [](py::handle model, bool full_check) {
        OwnerPtr keep;
        const auto* mp = message_arg_as<onnx::ModelProto>(model, &keep);
        try {
          onnx::checker::check_model(*mp, full_check);
        } catch (const std::exception& e) {
          throw ValidationError(e.what());
        }
      },
      py::arg("model"), py::arg("full_check") = false,
      "Runs the ONNX checker on a model (a view is checked in place, an onnx.ModelProto is\n"
      "copied in); raises ValidationError when it rejects the model.");

  c.def("get_swap_ops", &swap_ops);
  c.def("set_swap_ops", &set_swap_ops, py::arg("ops"));
  c.def("get_max_onnx_weight", &max_onnx_weight);
  c.def("set_max_onnx_weight", &set_max_onnx_weight, py::arg("bytes"));

  py::class_<ProgressIter>(c, "progress",
                           "progress(seq, label, width=100): iterate with the progress display.")
      .def(py::init<py::iterable, std::string, int>(), py::arg("seq"), py::arg("label"),
           py::arg("width") = 100)
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &ProgressIter::next);
  c.def(
      "set_progress_display",
      [](py::object mode) {
        Progress::force(mode.is_none() ? -1 : py::cast<bool>(mode) ? 1 : 0);
      },
      py::arg("mode"),
      "True or False forces the display on or off; None shows it when stderr is a terminal.");
}

}  // namespace tarq::py_face
