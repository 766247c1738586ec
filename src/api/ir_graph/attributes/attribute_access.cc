// Attribute access: what a node carries, else the default of its operator
// type, completed from the shapes of its tensors where the default depends on
// them; writes that record the node's state before its first change.
//
// Host code can run inside get_shape (per-configuration tables) and inside
// nodes_chg: names are copied out of the node before such calls, and the
// attribute list is walked afresh after them.
#include <google/protobuf/util/message_differencer.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "../graph_core/parking.h"
#include "../graph_core/verify_wanted.h"
#include "tarq/api/ir_graph/attr_defaults.h"
#include "tarq/api/ir_graph/companions/onnx_helpers.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

// The table's default of `name` for a model of `opset`; nullopt when the
// entry does not list it (and, for a versioned entry, when the value found is
// none: only a flat entry's none is completed from the node's tensors).
std::optional<AttrValue> table_default(const DefaultEntry& entry, const std::string& name,
                                       int64_t opset) {
  if (!entry.versioned()) {
    auto it = entry.flat.find(name);
    if (it == entry.flat.end()) return std::nullopt;
    return it->second;
  }
  // The newest version not above the opset that names the attribute.
  for (auto v = entry.versions.rbegin(); v != entry.versions.rend(); ++v) {
    if (v->first > opset) continue;
    auto it = v->second.find(name);
    if (it == v->second.end()) continue;
    if (std::holds_alternative<std::monostate>(it->second)) return std::nullopt;
    return it->second;
  }
  return std::nullopt;
}

std::string input_name(const onnx::NodeProto& node, int i, const std::string& attr) {
  if (i >= node.input_size()) {
    throw IndexError("node '" + node.name() + "' (" + node.op_type() + ") has no input " +
                     std::to_string(i) + " to take the default of '" + attr + "' from");
  }
  return node.input(i);
}

bool is_empty_list(const AttrValue& v) {
  return std::visit(
      [](const auto& x) {
        using V = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<V, std::string> || std::is_same_v<V, Bytes> ||
                      std::is_same_v<V, NdArray>) {
          return false;
        } else if constexpr (std::is_class_v<V> && !std::is_same_v<V, std::monostate>) {
          return x.empty();
        } else {
          return false;
        }
      },
      v);
}

// Numbers compare numerically (1 equals 1.0), lists element by element,
// messages field by field.
struct ValueEquals {
  static bool num(const AttrValue& v, double* out) {
    if (const auto* i = std::get_if<int64_t>(&v)) {
      *out = static_cast<double>(*i);
      return true;
    }
    if (const auto* d = std::get_if<double>(&v)) {
      *out = *d;
      return true;
    }
    return false;
  }
  static std::vector<double> nums(const AttrValue& v, bool* ok) {
    *ok = true;
    if (const auto* i = std::get_if<std::vector<int64_t>>(&v)) return {i->begin(), i->end()};
    if (const auto* d = std::get_if<std::vector<double>>(&v)) return *d;
    *ok = false;
    return {};
  }
  // Text and bytes are one kind here: a carried STRING reads as text, and a
  // default list of strings holds text while a carried one holds bytes.
  static bool text(const AttrValue& v, std::vector<std::string>* out) {
    if (const auto* s = std::get_if<std::string>(&v)) {
      *out = {*s};
    } else if (const auto* b = std::get_if<Bytes>(&v)) {
      *out = {b->data};
    } else if (const auto* ss = std::get_if<std::vector<std::string>>(&v)) {
      *out = *ss;
    } else if (const auto* bs = std::get_if<std::vector<Bytes>>(&v)) {
      out->clear();
      for (const auto& x : *bs) out->push_back(x.data);
    } else {
      return false;
    }
    return true;
  }
  template <class M>
  static bool messages(const std::vector<const M*>& a, const std::vector<const M*>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (!google::protobuf::util::MessageDifferencer::Equals(*a[i], *b[i])) return false;
    }
    return true;
  }

  bool operator()(const AttrValue& a, const AttrValue& b) const {
    double x = 0, y = 0;
    if (num(a, &x) && num(b, &y)) return x == y;
    bool la = false, lb = false;
    auto va = nums(a, &la), vb = nums(b, &lb);
    if (la && lb) return va == vb;
    // An empty list of one kind equals an empty list of another.
    if (is_empty_list(a) && is_empty_list(b)) return true;
    std::vector<std::string> ta, tb;
    const bool is_text_a = text(a, &ta), is_text_b = text(b, &tb);
    if (is_text_a || is_text_b) {
      const bool scalar_a =
          std::holds_alternative<std::string>(a) || std::holds_alternative<Bytes>(a);
      const bool scalar_b =
          std::holds_alternative<std::string>(b) || std::holds_alternative<Bytes>(b);
      return is_text_a && is_text_b && scalar_a == scalar_b && ta == tb;
    }
    if (a.index() != b.index()) return false;
    return std::visit(
        [&](const auto& u) -> bool {
          using V = std::decay_t<decltype(u)>;
          const auto& w = std::get<V>(b);
          if constexpr (std::is_same_v<V, std::monostate>) {
            return true;
          } else if constexpr (std::is_same_v<V, NdArray>) {
            return u.equals(w);
          } else if constexpr (std::is_pointer_v<V>) {
            return google::protobuf::util::MessageDifferencer::Equals(*u, *w);
          } else if constexpr (std::is_same_v<V, std::vector<const onnx::TensorProto*>> ||
                               std::is_same_v<V, std::vector<const onnx::GraphProto*>> ||
                               std::is_same_v<V, std::vector<const onnx::SparseTensorProto*>> ||
                               std::is_same_v<V, std::vector<const onnx::TypeProto*>>) {
            return messages(u, w);
          } else {
            return u == w;
          }
        },
        a);
  }
};

// Index of the first attribute called `name`, or -1.
int find_attr(const onnx::NodeProto& node, const std::string& name) {
  for (int i = 0; i < node.attribute_size(); ++i) {
    if (node.attribute(i).name() == name) return i;
  }
  return -1;
}

}  // namespace

AttrValue IRGraph::get_attr(const onnx::NodeProto& node, const std::string& name,
                            bool ret_def_attr) const {
  const int at = find_attr(node, name);
  if (at >= 0) {
    AttrValue v = helpers::get_attribute_value(node.attribute(at));
    if (auto* b = std::get_if<Bytes>(&v)) return std::string(std::move(b->data));
    return v;
  }
  if (!ret_def_attr) return {};
  const auto& table = def_attr();
  auto entry = table.find(node.op_type());
  if (entry == table.end()) {
    throw KeyError("'" + node.op_type() + "' has no default attributes (asked for '" + name + "')");
  }
  std::optional<AttrValue> found = table_default(*entry->second, name, opset);
  if (!found) return {};
  AttrValue value = std::move(*found);

  if (name == "dilations" || name == "pads" || name == "strides" || name == "output_padding") {
    const auto shape = get_shape(input_name(node, 0, name));
    const auto* unit = std::get_if<std::vector<int64_t>>(&value);
    if (shape && !shape->empty() && unit) {
      const int64_t axes = static_cast<int64_t>(shape->size()) - 2;
      std::vector<int64_t> repeated;
      for (int64_t i = 0; i < axes; ++i)
        repeated.insert(repeated.end(), unit->begin(), unit->end());
      return repeated;
    }
  } else if (name == "kernel_shape") {
    const auto shape = get_shape(input_name(node, 1, name));
    if (shape && !shape->empty()) {
      // A weight dimension that is not a fixed integer leaves the kernel
      // unknown.
      std::vector<int64_t> kernel;
      for (size_t i = 2; i < shape->size(); ++i) {
        const auto* d = std::get_if<int64_t>(&(*shape)[i]);
        if (!d) return {};
        kernel.push_back(*d);
      }
      return kernel;
    }
  } else if (name == "perm") {
    const std::string input = input_name(node, 0, name);
    const auto shape = get_shape(input);
    if (!shape) {
      throw ValueError("the default perm of '" + node.name() + "' needs the rank of '" + input +
                       "', whose shape is unknown");
    }
    std::vector<int64_t> perm;
    for (int64_t i = static_cast<int64_t>(shape->size()) - 1; i >= 0; --i) perm.push_back(i);
    return perm;
  }
  return value;
}

void IRGraph::set_attr(onnx::NodeProto& node, const std::string& name, const AttrValue& val,
                       OwnerPtr node_owner) {
  if (!node_owner) node_owner = model_owner_;
  record_change(node, node_owner);
  const bool remove = std::holds_alternative<std::monostate>(val) || is_empty_list(val);
  // Encode first: a value that cannot be typed leaves the node as it was.
  std::optional<onnx::AttributeProto> fresh;
  if (!remove) fresh = helpers::make_attribute(name, val);
  replace_attr(node, name, std::move(fresh), node_owner);
}

void IRGraph::record_change(onnx::NodeProto& node, const OwnerPtr& node_owner) {
  // The map may be the host's: hold it, and pass it copies.
  if (const std::shared_ptr<NodeChanges> changes = nodes_chg) {
    const std::string node_name = node.name();
    if (!changes->contains(node_name)) {
      const onnx::NodeProto before(node);
      changes->record(node_name, before, &node, node_owner);
    }
  }
}

void IRGraph::remove_attr(onnx::NodeProto& node, const std::string& name, OwnerPtr node_owner) {
  if (!node_owner) node_owner = model_owner_;
  replace_attr(node, name, std::nullopt, node_owner);
}

void IRGraph::replace_attr(onnx::NodeProto& node, const std::string& name,
                           std::optional<onnx::AttributeProto> fresh, const OwnerPtr& owner) {
  const int at = find_attr(node, name);
  // The branches of a top-level If node are linked like its other nodes.
  const bool branch = is_linked_if(node) &&
                      ((at >= 0 && node.attribute(at).type() == onnx::AttributeProto::GRAPH) ||
                       (fresh && fresh->type() == onnx::AttributeProto::GRAPH));
  std::vector<const onnx::NodeProto*> gone;
  if (branch && at >= 0 && node.attribute(at).type() == onnx::AttributeProto::GRAPH) {
    for (const auto& n : node.attribute(at).g().node()) gone.push_back(&n);
  }
  if (at >= 0) erase_parked(node.mutable_attribute(), at, owner.get());
  if (fresh) *node.add_attribute() = std::move(*fresh);
  if (!branch) return;
  const auto& last = node.attribute(node.attribute_size() - 1);
  relink_branch(gone, fresh && last.type() == onnx::AttributeProto::GRAPH ? &last.g() : nullptr);
  finish_edit();
}

bool IRGraph::same_attr(const onnx::NodeProto& a, const onnx::NodeProto& b) const {
  if (a.op_type() != b.op_type()) return false;
  // The names either node carries, each once (copied: reads of defaults may
  // run host code).
  std::vector<std::string> names;
  for (const auto* n : {&a, &b}) {
    for (const auto& attr : n->attribute()) {
      if (std::find(names.begin(), names.end(), attr.name()) == names.end()) {
        names.push_back(attr.name());
      }
    }
  }
  for (const auto& name : names) {
    if (!ValueEquals()(get_attr(a, name), get_attr(b, name))) return false;
  }
  return true;
}

}  // namespace tarq
