// Shape configurations: several alternative sets of input shapes beside the
// one the model holds. update_dynamic_shapes records a table of input shapes,
// or derives every tensor's shape under each configuration by shape
// inference on a private copy of the model; set_dynamic_idx selects a
// configuration (set_const and set_shape then record per configuration) and,
// when the selection is lifted, can commit what was recorded.
//
// The copy holds no weights (cached weights live in initializer_dat, and
// the copy leaves out the data of large initializers, which inference never
// reads), so deriving the shapes costs a copy of the graph, not of the
// weights. dynamic_shapes is replaced only once every configuration has been
// derived: a failure leaves it as it was.
#include <onnx/onnx_pb.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../graph_core/parking.h"
#include "../graph_core/shape_copy.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

bool is_float_type(int32_t t) {
  switch (t) {
    case kFloat:
    case kDouble:
    case kFloat16:
    case kBfloat16:
    case kFloat8e4m3fn:
    case kFloat8e4m3fnuz:
    case kFloat8e5m2:
    case kFloat8e5m2fnuz:
    case kFloat4e2m1:
    case kFloat8e8m0:
    case kFloat6e2m3:
    case kFloat6e3m2:
      return true;
    default:
      return false;
  }
}

// Element-wise equality as the element type compares: a NaN differs from
// everything, -0.0 equals 0.0.
bool same_values(const NdArray& a, const NdArray& b) {
  if (a.shape() != b.shape() || a.elem_type() != b.elem_type()) return false;
  if (a.elem_type() == kString) return a.strings() == b.strings();
  if (is_float_type(a.elem_type())) {
    const NdArray x = a.astype(kDouble), y = b.astype(kDouble);
    const double* p = x.data_as<double>();
    const double* q = y.data_as<double>();
    for (int64_t i = 0; i < x.size(); ++i) {
      if (!(p[i] == q[i])) return false;
    }
    return true;
  }
  return std::memcmp(a.data(), b.data(), a.nbytes()) == 0;
}

// [[1, 3, 224, 224], [1, 3]]
std::string shapes_text(const std::vector<Shape>& shapes) {
  std::string out = "[";
  for (size_t i = 0; i < shapes.size(); ++i) out += (i ? ", " : "") + shape_text(shapes[i]);
  return out + "]";
}

}  // namespace

void IRGraph::set_dynamic_idx(std::optional<int64_t> idx, bool update_set) {
  dynamic_idx = idx;
  if (idx) return;
  if (update_set) {
    // Held: the tables may be the host's, whose code may replace the fields.
    const std::shared_ptr<ArrayConfigs> diff_set = dynamic_diff_set;
    const std::shared_ptr<ShapeConfigs> shapes_set = dynamic_shapes_set;
    const std::shared_ptr<DtypeConfigs> dtypes_set = dynamic_dtypes_set;
    if (diff_set) {
      for (const auto& name : diff_set->keys()) {
        const auto count = static_cast<int64_t>(diff_set->list_size(name));
        std::vector<NdArray> values;
        for (int64_t i = 0; i < count; ++i) {
          auto v = diff_set->at(name, i);
          if (!v) {
            throw ValueError("dynamic_diff_set['" + name + "'] has no value for configuration " +
                             std::to_string(i));
          }
          values.push_back(std::move(*v));
        }
        if (values.empty()) continue;
        bool same = true;
        for (size_t i = 1; i < values.size() && same; ++i) same = same_values(values[i], values[0]);
        set_const(name, values[0]);
        if (!same) {
          if (!dynamic_diff) dynamic_diff = host_factory_->new_array_configs();
          dynamic_diff->assign_list(name, *diff_set);
        } else if (dynamic_diff && dynamic_diff->contains(name)) {
          dynamic_diff->erase(name);
        }
      }
    }
    if (shapes_set) {
      for (const auto& name : shapes_set->keys()) {
        const auto count = static_cast<int64_t>(shapes_set->list_size(name));
        std::vector<Shape> shapes;
        for (int64_t i = 0; i < count; ++i)
          shapes.push_back(shapes_set->at(name, i).value_or(Shape{}));
        if (!dtypes_set || !dtypes_set->contains(name)) {
          throw KeyError("dynamic_dtypes_set has no entry for '" + name + "'");
        }
        const int32_t dtype = dtypes_set->at(name, 0).value_or(kUndefined);
        set_shape(name, shapes.empty() ? Shape{} : shapes[0], true, true, dtype);
        if (!dynamic_shapes) dynamic_shapes = host_factory_->new_shapes_map();
        dynamic_shapes->set(name, std::move(shapes));
      }
    }
  }
  dynamic_diff_set = host_factory_->new_array_configs();
  dynamic_shapes_set = host_factory_->new_shape_configs();
  dynamic_dtypes_set = host_factory_->new_dtype_configs();
}

void IRGraph::update_dynamic_shapes(const std::shared_ptr<ShapesMap>& shapes, bool log) {
  if (shapes && shapes->size() > 0) {
    dynamic_shapes = shapes;
    n_dynamic = shapes->config_count();
    return;
  }
  if (n_dynamic <= 0) return;
  if (log) tarqLog::d("update dynamic_shapes ...");
  const std::shared_ptr<ShapesMap> table = dynamic_shapes;
  if (!table)
    throw ValueError("update_dynamic_shapes: n_dynamic is set but dynamic_shapes is None");
  const std::shared_ptr<ArrayConfigs> diff = dynamic_diff;
  const NameVector input_names = *inputs_;

  // Everything read from the host's tables first, before the model is held.
  tsl::ordered_map<std::string, std::vector<Shape>> derived;
  for (const auto& name : table->keys()) {
    if (std::find(input_names.begin(), input_names.end(), name) != input_names.end()) {
      derived.emplace(name, table->get(name));
    }
  }
  std::vector<std::vector<Shape>> input_shapes;
  for (const auto& name : input_names) {
    if (!derived.count(name))
      throw KeyError("dynamic_shapes has no entry for input '" + name + "'");
    input_shapes.push_back(derived.at(name));
  }
  tsl::ordered_map<std::string, std::vector<Shape>> known;  // the table as the call began
  for (const auto& name : table->keys()) known.emplace(name, table->get(name));
  std::vector<std::string> diff_names;
  if (diff) diff_names = diff->keys();

  OwnerPtr copy = shape_copy(*model_);
  for (int64_t i = 0; i < n_dynamic; ++i) {
    auto& model = copy->root_as<onnx::ModelProto>();
    std::vector<Shape> i_shapes;
    for (size_t k = 0; k < input_names.size(); ++k) {
      const Shape& shape = shape_in(input_shapes[k], i, input_names[k]);
      for (auto& vi : *model.mutable_graph()->mutable_input()) {
        if (vi.name() == input_names[k]) {
          inf_shape_set(vi, shape, copy.get());
          break;
        }
      }
      i_shapes.push_back(shape);
    }
    if (log) tarqLog::d("  infer shape for " + shapes_text(i_shapes) + " ...");
    for (const auto& name : diff_names) {
      auto value = diff->at(name, i);
      if (!value) {
        throw ValueError("dynamic_diff['" + name + "'] has no value for configuration " +
                         std::to_string(i));
      }
      set_const(name, *value, true, &copy->root_as<onnx::ModelProto>(), copy.get());
    }
    auto* graph = copy->root_as<onnx::ModelProto>().mutable_graph();
    std::vector<int> drop;
    for (int j = 0; j < graph->value_info_size(); ++j) {
      auto& vi = *graph->mutable_value_info(j);
      auto it = known.find(vi.name());
      if (it != known.end()) {
        inf_shape_set(vi, shape_in(it->second, i, vi.name()), copy.get());
      } else {
        drop.push_back(j);
      }
    }
    erase_parked(graph->mutable_value_info(), drop, copy.get());
    std::vector<int> outputs(static_cast<size_t>(graph->output_size()));
    for (int j = 0; j < graph->output_size(); ++j) outputs[static_cast<size_t>(j)] = j;
    erase_parked(graph->mutable_output(), outputs, copy.get());
    if (!diff) {
      for (auto& node : *graph->mutable_node()) {
        if (node.op_type() == "Reshape") node.set_op_type("Reshape_");
      }
    }
    copy = infer_shapes(copy, true, true, true);  // data propagation: computed Reshape targets
    const auto& inferred = copy->root_as<onnx::ModelProto>().graph();
    for (const auto* list : {&inferred.value_info(), &inferred.output()}) {
      for (const auto& vi : *list) derived[vi.name()].push_back(inf_shape(vi));
    }
  }
  if (log) {
    tarqLog::d("update dynamic_shapes done.");
    tarqLog::d("");
  }
  auto result = host_factory_->new_shapes_map();
  for (auto& [name, list] : derived) result->set(name, std::move(list));
  dynamic_shapes = result;
}

}  // namespace tarq
