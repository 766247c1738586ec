#include "layer_sources.h"

#include <algorithm>

#include "tarq/api/ir_graph/companions/onnx_helpers.h"

namespace tarq {

LayerSources::LayerSources(const onnx::GraphProto& graph) {
  entries_.reserve(static_cast<size_t>(graph.input_size() + graph.initializer_size() +
                                       graph.output_size() + graph.value_info_size()));
  for (const auto& vi : graph.input()) {
    Entry& e = at(vi.name());
    if (!e.declared) e.declared = &vi;
  }
  for (const auto& t : graph.initializer()) {
    Entry& e = at(t.name());
    if (!e.value) e.value = &t;
  }
  add_infos(graph);
  for (const auto& vi : graph.output()) at(vi.name()).graph_output = true;
  first_output_.reserve(static_cast<size_t>(graph.node_size()) + 1);
  node_outputs_.reserve(static_cast<size_t>(graph.node_size()));
  first_output_.push_back(0);
  for (const auto& node : graph.node()) {
    for (const auto& out : node.output()) node_outputs_.push_back(out.empty() ? nullptr : &at(out));
    first_output_.push_back(node_outputs_.size());
  }
}

LayerSources::Entry& LayerSources::at(std::string_view name) {
  auto it = entries_.find(name);
  if (it != entries_.end()) return it.value();
  return entries_.try_emplace(names_.copy(name), Entry{}).first.value();
}

LayerSources::Entry* LayerSources::find(std::string_view name) {
  auto it = entries_.find(name);
  return it == entries_.end() ? nullptr : &it.value();
}

void LayerSources::add_infos(const onnx::GraphProto& graph) {
  for (const auto& vi : graph.output()) {
    Entry& e = at(vi.name());
    e.info = &vi;
    e.given = true;
  }
  for (const auto& vi : graph.value_info()) {
    Entry& e = at(vi.name());
    if (!e.given) e.info = &vi;
  }
}

void LayerSources::take_infos(const onnx::GraphProto& graph) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    it.value().info = nullptr;
    it.value().given = false;
  }
  add_infos(graph);
}

bool LayerSources::settles() const {
  for (const Entry* e : node_outputs_) {
    if (!e) continue;  // an optional output not produced
    if (!e->info || !e->info->type().has_tensor_type() ||
        !e->info->type().tensor_type().has_shape()) {
      return false;
    }
    const auto& dims = e->info->type().tensor_type().shape().dim();
    if (!std::all_of(dims.begin(), dims.end(), [](const auto& d) { return d.has_dim_value(); })) {
      return false;
    }
  }
  return true;
}

const onnx::ValueInfoProto* LayerSources::input_info(Entry& e) {
  if (e.declared) return e.declared;
  if (e.value) {
    if (!e.made) {
      const auto& dims = e.value->dims();
      e.made = &made_.emplace_back(helpers::make_tensor_value_info(
          e.value->name(), e.value->data_type(), Shape(dims.begin(), dims.end())));
    }
    return e.made;
  }
  return e.given ? e.info : nullptr;
}

}  // namespace tarq
