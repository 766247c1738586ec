// verify(): the graph proves its own tables right. Every index table is
// recomputed from the model alone and compared with the live one; the first
// difference raises VerifyError naming the table, the key, what the model
// implies and what the table holds.
//
// Requires nothing: stale or damaged tables, positions out of range and a
// model changed since the last rebuild are what it reports, never a crash.
// Linear in the model. The live tables answer the name lookups: a name that
// is missing, or found at the wrong place in a table's order, is itself a
// difference, and a table that passes every lookup in order and holds no
// other entry equals the table the model implies. What the model implies
// per operand (producer, consumers so far, the value info that gave its
// shape) is kept in plain vectors indexed by the operand's position.
// Changes nothing.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "declared_size.h"
#include "differ.h"
#include "equal_nodes.h"
#include "node_slots.h"
#include "read_ahead.h"
#include "subgraphs.h"
#include "tarq/api/ir_graph/companions/extend_ops.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

std::string node_label(const onnx::NodeProto* n) {
  return n ? "node " + quoted(n->name()) + " (" + n->op_type() + ")" : "no node";
}

// Whether `shape` is what inf_shape reads from the value info (no copy).
bool shape_matches(const Shape& shape, const onnx::ValueInfoProto* vi) {
  if (!vi || !vi->type().has_tensor_type() || !vi->type().tensor_type().has_shape()) {
    return shape.empty();
  }
  const auto& dims = vi->type().tensor_type().shape().dim();
  if (static_cast<size_t>(dims.size()) != shape.size()) return false;
  for (int k = 0; k < dims.size(); ++k) {
    const auto& d = dims.Get(k);
    const Dim& s = shape[static_cast<size_t>(k)];
    if (d.has_dim_value()) {
      const auto* v = std::get_if<int64_t>(&s);
      if (!v || *v != d.dim_value()) return false;
    } else if (d.has_dim_param()) {
      const auto* p = std::get_if<std::string>(&s);
      if (!p || *p != d.dim_param()) return false;
    } else if (!std::holds_alternative<std::monostate>(s)) {
      return false;
    }
  }
  return true;
}

// A name -> position table against the list it indexes, one list element
// at a time: each name maps to its last position and (finish) there is no
// other entry. An ordered table also holds the entries in the order the names
// first occur; the node index is not ordered (an edit appends the key of an
// inserted node).
template <class NameAt>
class PositionCheck {
 public:
  PositionCheck(const NameIndex& table, const char* what, int count, NameAt name_at, bool ordered)
      : table_(table), what_(what), count_(count), name_at_(name_at), ordered_(ordered) {
    if (!ordered_) seen_.assign(table_.end_position(), 0);
  }

  // Element i, named `name`; returns whether the name occurred before.
  bool step(int i, const HashedName& name) {
    auto it = table_.find(name);
    if (it == table_.end()) differ(what_, name.name, "an entry", "none");
    const size_t entry = table_.position(it);
    bool repeated = false;
    if (!ordered_) {
      repeated = seen_[entry] != 0;
      if (!repeated) {
        seen_[entry] = 1;
        ++next_;
      }
    } else if (entry == next_) {
      ++next_;
    } else if (entry > next_) {
      differ(what_, name.name, "entry number " + std::to_string(next_) + " in insertion order",
             "entry number " + std::to_string(entry));
    } else {
      repeated = true;
    }
    const int64_t v = it->second;
    if (v < i || v >= count_ || (v != i && name_at_(static_cast<int>(v)) != name.name)) {
      int last = i;
      for (int j = i + 1; j < count_; ++j) {
        if (name_at_(j) == name.name) last = j;
      }
      differ(what_, name.name, "position " + std::to_string(last), "position " + std::to_string(v));
    }
    return repeated;
  }

  void finish() const {
    if (next_ == table_.size()) return;
    for (auto it = table_.begin(); it != table_.end(); ++it) {
      const size_t pos = table_.position(it);
      if (ordered_ ? pos >= next_ : !seen_[pos]) {
        differ(what_, it->first, "no entry", "position " + std::to_string(it->second));
      }
    }
  }

 private:
  const NameIndex& table_;
  const char* what_;
  int count_;
  NameAt name_at_;
  bool ordered_;
  size_t next_ = 0;         // entries met so far
  std::vector<char> seen_;  // by entry position, when not ordered
};

template <class NameAt>
PositionCheck<NameAt> position_check(const NameIndex& table, const char* what, int count,
                                     NameAt name_at, bool ordered = true) {
  return PositionCheck<NameAt>(table, what, count, name_at, ordered);
}

// A whole list at once.
template <class NameAt>
void check_positions(const NameIndex& table, const char* what, int count, NameAt name_at) {
  auto check = position_check(table, what, count, name_at);
  for (int i = 0; i < count; ++i) check.step(i, HashedName(name_at(i)));
  check.finish();
}

void check_names(const NameVector& live, const char* what,
                 const std::vector<std::string_view>& want) {
  for (size_t i = 0; i < std::max(live.size(), want.size()); ++i) {
    if (i >= live.size()) differ(what, want[i], "it at index " + std::to_string(i), "no entry");
    if (i >= want.size()) differ(what, live[i], "no entry", "it at index " + std::to_string(i));
    if (live[i] != want[i]) {
      differ(what, want[i], "it at index " + std::to_string(i), quoted(live[i]) + " there");
    }
  }
}

// What the model implies for one operand, by its table position.
struct Expected {
  const onnx::NodeProto* producer = nullptr;
  const onnx::ValueInfoProto* shape_from = nullptr;  // last value info with a tensor type
  const onnx::ValueInfoProto* dtype_from = nullptr;  // last one with a tensor or sequence type
  size_t consumers = 0;                              // consumers matched so far
  int32_t writers = 0;                               // nodes that write it
  bool declared = false;                             // named by a value info
};

int32_t dtype_of(const onnx::ValueInfoProto* vi) {
  if (!vi) return kUndefined;
  const auto& type = vi->type();
  if (tensor_type_present(type.tensor_type())) return type.tensor_type().elem_type();
  return type.sequence_type().elem_type().tensor_type().elem_type();
}

}  // namespace

void IRGraph::verify() const {
  if (rebuilding_) throw ValueError("verify() cannot run while this graph's rebuild is running");
  if (!model_->has_graph() || graph_ != &model_->graph() || graph_owner_ != model_owner_) {
    differ(
        "graph", "", "the graph of the current model",
        graph_ ? "the graph of an earlier model (rebuild after replacing the model)" : "no graph");
  }
  const onnx::GraphProto& graph = *graph_;
  const auto& node_list = graph.node();
  const int n = node_list.size();
  refresh_derived();

  // Constants, graph inputs and outputs.
  check_positions(*consts_, "consts", graph.initializer_size(),
                  [&](int i) -> const std::string& { return graph.initializer(i).name(); });
  check_positions(*inputs_with_const_, "inputs_with_const", graph.input_size(),
                  [&](int i) -> const std::string& { return graph.input(i).name(); });
  std::vector<std::string_view> want;
  for (const auto& vi : graph.input()) {
    if (!consts_->count(vi.name())) want.push_back(vi.name());
  }
  check_names(*inputs_, "inputs", want);
  want.clear();
  for (const auto& vi : graph.output()) want.push_back(vi.name());
  check_names(*outputs_, "outputs", want);

  // Operands: one key per name the value infos and the nodes mention (in
  // any order: the rebuild lists them as they first occur, an edit appends),
  // producers, consumers in order, shapes, types.
  const OperandMap& ops = *operands_;
  std::vector<Expected> expect(ops.end_position());
  std::vector<bool> mentioned(ops.end_position());
  size_t distinct_keys = 0;
  auto operand_at = [&](const HashedName& name, const char* role) -> size_t {
    auto it = ops.find(name);
    if (it == ops.end()) {
      differ("operands", name.name, std::string("an operand (") + role + ")", "none");
    }
    const size_t pos = ops.position(it);
    if (!mentioned[pos]) {
      mentioned[pos] = true;
      ++distinct_keys;
    }
    return pos;
  };
  for (const auto* list : {&graph.input(), &graph.output(), &graph.value_info()}) {
    const int count = list->size();
    for (int i = 0; i < count; ++i) {
      read_ahead<kValueInfo>(*list, i, [&](const onnx::ValueInfoProto& ahead) {
        HashedName name(ahead.name());
        consts_->prefetch(name);
        ops.prefetch(name);
      });
      const auto& vi = list->Get(i);
      HashedName name(vi.name());
      if (consts_->count(name)) continue;
      Expected& e = expect[operand_at(name, "value information")];
      e.declared = true;
      const auto& type = vi.type();
      if (tensor_type_present(type.tensor_type())) {
        e.shape_from = e.dtype_from = &vi;
      } else if (sequence_type_present(type.sequence_type())) {
        e.dtype_from = &vi;
      }
    }
  }

  // The nodes, once: the node index, each read and write, and the flags
  // the operator scan sets (never clears) until the first extended operator.
  NodeSlots slots;  // the operand each top-level slot names, for the analyses below
  slots.in_begin.reserve(static_cast<size_t>(n) + 1);
  slots.out_begin.reserve(static_cast<size_t>(n) + 1);
  slots.in.reserve(static_cast<size_t>(n) * 2);
  slots.out.reserve(static_cast<size_t>(n));
  EqualNodeIndex listed_nodes;
  auto link = [&](const onnx::NodeProto& node, bool slow, bool top_level) {
    auto* self = const_cast<onnx::NodeProto*>(&node);
    for (const auto& input : node.input()) {
      int64_t code = -1;
      if (!input.empty()) {
        HashedName name(input);
        if (!consts_->count(name)) {
          const size_t pos = operand_at(name, "read by a node");
          code = static_cast<int64_t>(pos);
          const auto& outs = ops.entry(pos).second->outputs;
          size_t& c = expect[pos].consumers;
          bool listed = c > 0 && outs[c - 1] == self;
          if (!listed && slow) listed = listed_nodes.holds(pos, outs.data(), c, node);
          if (!listed) {
            if (c >= outs.size() || outs[c] != self) {
              differ("operands", input,
                     "consumer number " + std::to_string(c) + ": " + node_label(self),
                     c < outs.size() ? node_label(outs[c]) : "no more consumers");
            }
            ++c;
          }
        }
      }
      if (top_level) slots.in.push_back(code);
    }
    for (const auto& output : node.output()) {
      const size_t pos = operand_at(HashedName(output), "written by a node");
      expect[pos].producer = &node;
      ++expect[pos].writers;
      if (top_level) slots.out.push_back(static_cast<int64_t>(pos));
    }
  };
  auto node_names = position_check(
      *nodes_, "nodes", n, [&](int i) -> const std::string& { return node_list.Get(i).name(); },
      false);
  std::vector<const onnx::NodeProto*> branch_nodes;
  bool scanning = true;
  for (int i = 0; i < n; ++i) {
    read_ahead<kNodeName | kOpType | kNodeIO>(node_list, i, [&](const onnx::NodeProto& ahead) {
      nodes_->prefetch(ahead.name());
      for (const auto& input : ahead.input()) {
        HashedName name(input);
        consts_->prefetch(name);
        ops.prefetch(name);
      }
      for (const auto& name : ahead.output()) ops.prefetch(name);
    });
    const auto& node = node_list.Get(i);
    const bool repeated = node_names.step(i, HashedName(node.name()));
    const std::string& op = node.op_type();
    if (scanning) {
      if ((op == "DequantizeLinear" || op == "QuantizeLinear") && !qat) {
        differ("qat", node.name(), "true (a " + op + " node)", "false");
      }
      if (op == "Reshape_" || is_extend_op(op)) {
        if (!has_extend_op)
          differ("has_extend_op", node.name(), "true (a " + op + " node)", "false");
        scanning = false;
      }
    }
    slots.in_begin.push_back(slots.in.size());
    slots.out_begin.push_back(slots.out.size());
    slots.is_if.push_back(op == "If");
    if (slots.is_if.back()) {
      for (const auto& attr : node.attribute()) {
        if (attr.type() != onnx::AttributeProto::GRAPH) continue;
        for (const auto& sub : attr.g().node()) branch_nodes.push_back(&sub);
      }
    }
    link(node, repeated, true);
  }
  node_names.finish();
  slots.in_begin.push_back(slots.in.size());
  slots.out_begin.push_back(slots.out.size());
  slots.names_unique = nodes_->size() == static_cast<size_t>(n);
  for (const auto* node : branch_nodes) link(*node, true, false);
  if (distinct_keys != ops.size()) {
    for (auto it = ops.begin(); it != ops.end(); ++it) {
      if (!mentioned[ops.position(it)]) differ("operands", it->first, "no operand", "an operand");
    }
  }
  for (auto it = ops.begin(); it != ops.end(); ++it) {
    const auto& [name, op] = *it;
    const Expected& e = expect[ops.position(it)];
    if (op->input != e.producer) {
      differ("operands", name, "producer " + node_label(e.producer),
             "producer " + node_label(op->input));
    }
    if (e.consumers != op->outputs.size()) {
      differ("operands", name, std::to_string(e.consumers) + " consumers",
             std::to_string(op->outputs.size()) +
                 " (the next: " + node_label(op->outputs[e.consumers]) + ")");
    }
    if (!shape_matches(op->shape, e.shape_from)) {
      differ("operands", name,
             "shape " + shape_text(e.shape_from ? inf_shape(*e.shape_from) : Shape{}),
             "shape " + shape_text(op->shape));
    }
    if (op->dtype != dtype_of(e.dtype_from)) {
      differ("operands", name, "element type " + std::to_string(dtype_of(e.dtype_from)),
             "element type " + std::to_string(op->dtype));
    }
    if (op->writers != e.writers || op->declared != e.declared) {
      differ("operands", name,
             std::to_string(e.writers) + " writing nodes" + (e.declared ? ", declared" : ""),
             std::to_string(op->writers) + (op->declared ? ", declared" : ""));
    }
    if (op->owner != model_owner_) {
      differ("operands", name, "a record of this model's rebuild", "a record of another model");
    }
  }

  // Freeable tensors: per node, the distinct operands it reads in first-seen
  // order (then, for an If node, every read inside its branches) whose count
  // of reads reaches their number of consumers.
  const NameLists& frees = *can_frees_;
  if (frees.size() != static_cast<size_t>(n)) {
    differ("can_frees", "", std::to_string(n) + " lists (one per node)",
           std::to_string(frees.size()));
  }
  std::vector<int64_t> reads(ops.end_position(), 0);
  std::vector<size_t> freed;
  const LateReads late = late_subgraph_reads(node_list);
  std::unordered_map<int64_t, std::vector<size_t>> waiting;
  int current = 0;
  auto count_read = [&](size_t pos) {
    if (++reads[pos] != static_cast<int64_t>(ops.entry(pos).second->outputs.size())) return;
    const int64_t until = late.at(ops.entry(pos).first);
    if (until > current) {
      waiting[until].push_back(pos);
    } else {
      freed.push_back(pos);
    }
  };
  auto by_name = [&](const std::string& name) -> int64_t {
    auto it = ops.find(name);
    return it == ops.end() ? -1 : static_cast<int64_t>(ops.position(it));
  };
  DistinctReads distinct;
  for (int i = 0; i < n; ++i) {
    const auto& node = node_list.Get(i);
    current = i;
    freed.clear();
    const size_t begin = slots.in_begin[static_cast<size_t>(i)];
    const size_t end = slots.in_begin[static_cast<size_t>(i) + 1];
    distinct.start(end - begin);
    for (size_t s = begin; s < end; ++s) {
      int64_t pos = slots.in[s];
      if (pos < 0) pos = by_name(node.input(static_cast<int>(s - begin)));
      if (pos >= 0 && distinct.first(pos)) count_read(static_cast<size_t>(pos));
    }
    if (slots.is_if[static_cast<size_t>(i)]) {
      for (const auto& attr : node.attribute()) {
        if (attr.type() != onnx::AttributeProto::GRAPH) continue;
        for (const auto& sub : attr.g().node()) {
          for (const auto& name : sub.input()) {
            int64_t pos = by_name(name);
            if (pos >= 0) count_read(static_cast<size_t>(pos));
          }
        }
      }
    }
    auto late_here = waiting.find(i);
    if (late_here != waiting.end()) {
      freed.insert(freed.end(), late_here->second.begin(), late_here->second.end());
    }
    const size_t listed = frees.list_size(static_cast<size_t>(i));
    for (size_t k = 0; k < std::max(listed, freed.size()); ++k) {
      std::string want_name =
          k < freed.size() ? quoted(ops.entry(freed[k]).first) : std::string("nothing more");
      std::string have_name =
          k < listed ? quoted(frees.name(static_cast<size_t>(i), k)) : std::string("nothing more");
      if (want_name != have_name) {
        differ("can_frees", node.name(), "tensor " + std::to_string(k) + " freed: " + want_name,
               have_name);
      }
    }
  }

  if (n_bytes != initializer_bytes(graph)) {
    differ("n_bytes", "", std::to_string(initializer_bytes(graph)), std::to_string(n_bytes));
  }

  auto fresh = capture_dependency_maps(slots);
  tensor_dependency_map_->check_same("tensor_dependency_map", *fresh.first);
  node_dependency_map_->check_same("node_dependency_map", *fresh.second);
}

}  // namespace tarq
