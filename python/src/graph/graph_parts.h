// The IRGraph class is bound in parts, one per subsystem, each in its own
// file of this folder; bind_graph() calls them in order.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>

#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq::py_face {

namespace py = pybind11;
using GraphClass = py::class_<IRGraph, std::shared_ptr<IRGraph>>;

// make_model, save_onnx, deepcopy (bind_model_assembly.cc).
void bind_model_assembly(GraphClass& cls);
// The edit_par argument: None or an empty mapping is absent; KeyError for a
// missing entry (bind_graph.cc).
std::optional<EditPar> parse_edit_par(py::handle obj);
// A path argument (str or os.PathLike) as a string (bind_graph.cc).
std::string fs_path(py::handle obj);

// IRGraph.def_attr and IRGraph.reduce_attr: read-only class-level tables
// (bind_default_table.cc).
void bind_default_table(GraphClass& cls);
// get_attr, set_attr, remove_attr, same_attr (bind_attributes.cc).
void bind_attributes(GraphClass& cls);
// Constants, shapes, element types, precision (bind_tensor_data.cc).
void bind_tensor_data(GraphClass& cls);
// Node removal and insertion, rewiring, operand records (bind_graph_edit.cc).
void bind_graph_edit(GraphClass& cls);

// can_fuse, create_ir_layers, cost figures, swap-up marks; the module's
// compiler_fuse_tab (bind_compiler_tables.cc).
void bind_compiler_tables(GraphClass& cls, py::module_& m);

}  // namespace tarq::py_face
