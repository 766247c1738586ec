// tarq-ir info --node NAME: one node's inputs, outputs and attributes, with
// the defaults of its operator type (for the model's opset) it leaves out.
#include <fmt/format.h>
#include <onnx/onnx_pb.h>

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>
#include <vector>

#include "commands.h"
#include "tarq/api/ir_graph/attr_defaults.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq::cli {

namespace {

std::string quote(const std::string& s) { return nlohmann::json(s).dump(); }

std::string tensor_text(const onnx::TensorProto* t) {
  std::string dims;
  for (int i = 0; i < t->dims_size(); ++i) dims += (i ? ", " : "") + std::to_string(t->dims(i));
  return fmt::format("tensor {} [{}]", elem_type_name(t->data_type()), dims);
}

template <class List, class Each>
std::string list_text(const List& list, Each each) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) out += (i ? ", " : "") + each(list[i]);
  return out + "]";
}

// An attribute value as one line of text.
std::string value_text(const AttrValue& v) {
  return std::visit(
      [](const auto& x) -> std::string {
        using V = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<V, std::monostate>) {
          return "none";
        } else if constexpr (std::is_same_v<V, int64_t> || std::is_same_v<V, double>) {
          return fmt::format("{}", x);
        } else if constexpr (std::is_same_v<V, std::string>) {
          return quote(x);
        } else if constexpr (std::is_same_v<V, Bytes>) {
          return "b" + quote(x.data);
        } else if constexpr (std::is_same_v<V, std::vector<int64_t>> ||
                             std::is_same_v<V, std::vector<double>>) {
          return list_text(x, [](auto e) { return fmt::format("{}", e); });
        } else if constexpr (std::is_same_v<V, std::vector<std::string>>) {
          return list_text(x, quote);
        } else if constexpr (std::is_same_v<V, std::vector<Bytes>>) {
          return list_text(x, [](const Bytes& b) { return "b" + quote(b.data); });
        } else if constexpr (std::is_same_v<V, const onnx::TensorProto*>) {
          return tensor_text(x);
        } else if constexpr (std::is_same_v<V, const onnx::GraphProto*>) {
          return fmt::format("graph {} ({} nodes)", quote(x->name()), x->node_size());
        } else if constexpr (std::is_same_v<V, std::vector<const onnx::TensorProto*>>) {
          return list_text(x, tensor_text);
        } else if constexpr (std::is_same_v<V, NdArray>) {
          return fmt::format("array {} of {} elements", elem_type_name(x.elem_type()), x.size());
        } else if constexpr (std::is_pointer_v<V>) {
          return "message";
        } else {
          return fmt::format("{} messages", x.size());
        }
      },
      v);
}

// The attribute names the node's type has defaults for at the model's
// opset, in table order.
std::vector<std::string> default_names(const std::string& op_type, int64_t opset) {
  std::vector<std::string> names;
  auto add = [&](const AttrDefaults& d) {
    for (const auto& kv : d) {
      if (std::find(names.begin(), names.end(), kv.first) == names.end()) names.push_back(kv.first);
    }
  };
  auto entry = def_attr().find(op_type);
  if (entry == def_attr().end()) return names;
  if (!entry->second->versioned()) add(entry->second->flat);
  for (const auto& [version, defaults] : entry->second->versions) {
    if (version <= opset) add(defaults);
  }
  return names;
}

struct AttrLine {
  std::string name, value;
  bool is_default;
};

}  // namespace

int run_node_info(const CommonOptions& options, const std::string& node_name) {
  auto owner = load_model(options.model, /*load_external_data=*/true);
  IRGraph g(owner);
  auto at = g.nodes().find(node_name);
  if (at == g.nodes().end()) {
    std::string some;
    int shown = 0;
    for (const auto& kv : g.nodes()) {
      if (shown++ == 3) break;
      some += (some.empty() ? "" : ", ") + quote(std::string(kv.first));
    }
    throw KeyError(fmt::format("the model has no node named {} (its {} nodes include {})",
                               quote(node_name), g.nodes().size(), some));
  }
  const onnx::NodeProto& node = g.model().graph().node(static_cast<int>(at->second));
  std::vector<AttrLine> attrs;
  for (const auto& a : node.attribute()) {
    attrs.push_back({a.name(), value_text(g.get_attr(node, a.name())), false});
  }
  for (const auto& name : default_names(node.op_type(), g.opset)) {
    bool carried = false;
    for (const auto& a : node.attribute()) carried = carried || a.name() == name;
    if (carried) continue;
    // A default that depends on tensors the node lacks is left out.
    AttrValue v;
    try {
      v = g.get_attr(node, name);
    } catch (const std::exception&) {
      continue;
    }
    if (!std::holds_alternative<std::monostate>(v)) attrs.push_back({name, value_text(v), true});
  }

  if (options.json) {
    nlohmann::ordered_json j;
    j["node"] = node.name();
    j["op_type"] = node.op_type();
    j["inputs"] = std::vector<std::string>(node.input().begin(), node.input().end());
    j["outputs"] = std::vector<std::string>(node.output().begin(), node.output().end());
    j["attributes"] = nlohmann::ordered_json::array();
    for (const auto& a : attrs) {
      j["attributes"].push_back({{"name", a.name}, {"value", a.value}, {"default", a.is_default}});
    }
    std::cout << j.dump(2) << "\n";
    return 0;
  }
  std::cout << fmt::format("Node: {} ({})\n", node.name(), node.op_type());
  auto names = [](const auto& list) {
    std::string out;
    for (const auto& s : list) out += (out.empty() ? "" : ", ") + (s.empty() ? "<none>" : s);
    return out;
  };
  std::cout << fmt::format("  inputs:  {}\n  outputs: {}\n", names(node.input()),
                           names(node.output()));
  size_t width = 4;
  for (const auto& a : attrs) width = std::max(width, a.name.size());
  std::cout << fmt::format("Attributes ({}):\n", attrs.size());
  for (const auto& a : attrs) {
    std::cout << fmt::format("  {:<{}}  {}{}\n", a.name, width, a.value,
                             a.is_default ? "  (default)" : "");
  }
  return 0;
}

}  // namespace tarq::cli
