// Index building: the boundary lists, the operands with their value
// information, the node index (with renaming) and the producer/consumer links.
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string_view>
#include <unordered_set>

#include "equal_nodes.h"
#include "node_slots.h"
#include "read_ahead.h"
#include "tarq/api/ir_graph/companions/log.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"

namespace tarq {

// Operand records of one rebuild come from one pool of blocks: a rebuild
// makes hundreds of thousands of them at once. A record's control block holds
// the pool, so the blocks are freed with the last record made from them.
class OperandPool {
 public:
  void* allocate(size_t bytes) {
    constexpr size_t kAlign = alignof(std::max_align_t);
    bytes = (bytes + kAlign - 1) & ~(kAlign - 1);
    if (bytes > left_) {
      // Blocks double up to 64 KiB and are not zeroed.
      next_ = std::min<size_t>(next_ * 2, 1 << 16);
      size_t size = std::max(bytes, next_);
      blocks_.emplace_back(new std::max_align_t[size / sizeof(std::max_align_t) + 1]);
      cur_ = reinterpret_cast<char*>(blocks_.back().get());
      left_ = size;
    }
    void* at = cur_;
    cur_ += bytes;
    left_ -= bytes;
    return at;
  }

 private:
  std::vector<std::unique_ptr<std::max_align_t[]>> blocks_;
  char* cur_ = nullptr;
  size_t left_ = 0;
  size_t next_ = 1024;
};

template <class T>
struct PoolAllocator {
  using value_type = T;
  explicit PoolAllocator(std::shared_ptr<OperandPool> p) : pool(std::move(p)) {}
  template <class U>
  PoolAllocator(const PoolAllocator<U>& other) : pool(other.pool) {}
  T* allocate(size_t n) { return static_cast<T*>(pool->allocate(n * sizeof(T))); }
  void deallocate(T*, size_t) noexcept {}
  template <class U>
  bool operator==(const PoolAllocator<U>& o) const {
    return pool == o.pool;
  }
  template <class U>
  bool operator!=(const PoolAllocator<U>& o) const {
    return pool != o.pool;
  }
  std::shared_ptr<OperandPool> pool;
};

namespace {

// The operand of a name, created when missing; returns its table position.
size_t operand_slot(OperandMap& operands, const HashedName& name, const OwnerPtr& owner,
                    const PoolAllocator<Operand>& alloc) {
  auto [it, added] = operands.try_emplace(name);
  if (added) {
    it->second = std::allocate_shared<Operand>(alloc);
    it->second->owner = owner;
  }
  return operands.position(it);
}

Operand& operand_at(OperandMap& operands, size_t pos) { return *operands.entry(pos).second; }

}  // namespace

void IRGraph::build_boundary_and_operands() {
  std::vector<const onnx::ValueInfoProto*> infos;
  infos.reserve(static_cast<size_t>(graph_->input_size() + graph_->output_size() +
                                    graph_->value_info_size()));
  inputs_ = std::make_shared<NameVector>();
  inputs_with_const_ = std::make_shared<NameIndex>();
  int64_t pos = 0;
  for (const auto& vi : graph_->input()) {
    (*inputs_with_const_)[vi.name()] = pos++;
    if (!consts_->count(vi.name())) {
      inputs_->push_back(vi.name());
      infos.push_back(&vi);
    }
  }
  outputs_ = std::make_shared<NameVector>();
  for (const auto& vi : graph_->output()) {
    outputs_->push_back(vi.name());
    infos.push_back(&vi);
  }
  for (const auto& vi : graph_->value_info()) infos.push_back(&vi);

  operands_ = std::make_shared<OperandMap>();
  operands_->reserve(infos.size() + static_cast<size_t>(graph_->node_size()));
  operand_pool_ = std::make_shared<OperandPool>();
  PoolAllocator<Operand> alloc(operand_pool_);
  const size_t count = infos.size();
  for (size_t i = 0; i < count; ++i) {
    read_ahead<kValueInfo>(infos, i, [&](const onnx::ValueInfoProto& ahead) {
      HashedName name(ahead.name());
      consts_->prefetch(name);
      operands_->prefetch(name);
    });
    const auto* vi = infos[i];
    HashedName name(vi->name());
    if (consts_->count(name)) continue;
    Operand& op = operand_at(*operands_, operand_slot(*operands_, name, model_owner_, alloc));
    op.declared = true;
    const auto& type = vi->type();
    const auto& tensor = type.tensor_type();
    if (tensor_type_present(tensor)) {
      op.shape = inf_shape(*vi);
      op.dtype = to_np_type(tensor.elem_type());
    } else if (sequence_type_present(type.sequence_type())) {
      op.dtype = to_np_type(type.sequence_type().elem_type().tensor_type().elem_type());
    } else {
      tarqLog::e("Unknow elem_type for " + vi->name() + "!");
    }
  }
}

NodeSlots IRGraph::build_node_index_and_links() {
  // One walk over the nodes builds the node index (renaming as it goes) and
  // links each node right after naming it; the branches of If nodes join the
  // links afterwards but not the index.
  std::vector<onnx::NodeProto*> branch_nodes;
  nodes_ = std::make_shared<NameIndex>();
  nodes_->reserve(static_cast<size_t>(graph_->node_size()));
  auto* node_list = graph_->mutable_node();
  auto index_node = [&](onnx::NodeProto* node, int p) {
    if (node->op_type() == "If") {
      for (auto& attr : *node->mutable_attribute()) {
        if (attr.type() != onnx::AttributeProto::GRAPH) continue;
        for (auto& sub : *attr.mutable_g()->mutable_node()) branch_nodes.push_back(&sub);
      }
    }
    if (node->name().empty() && node->output_size() > 0) node->set_name(node->output(0));
    if (!nodes_->try_emplace(node->name(), p).second) {
      // A repeated name takes its position as a suffix; the new name is not
      // tested again (it may replace an entry).
      node->set_name(node->name() + "_" + std::to_string(p));
      (*nodes_)[node->name()] = p;
    }
  };

  std::unordered_set<std::string_view, NameHash> graph_inputs(inputs_->begin(), inputs_->end());
  // The slot code of a name that reads as a constant (an initializer that is
  // not a graph input), or -1.
  auto const_code_of = [&](const HashedName& name) -> int64_t {
    auto c = consts_->find(name);
    if (c == consts_->end() || graph_inputs.count(name.name)) return -1;
    return NodeSlots::const_code(c->second);
  };
  // Per operand position: whether its name reads as a constant (a node
  // writes an initializer's name). Operands made from value information
  // never do, so a read that finds its operand needs no constant lookup.
  std::vector<char> reads_constant(operands_->size(), 0);
  // By initializer position: a constant that a node also writes, so an
  // operand after all (empty while there is none).
  std::vector<char> const_is_operand;
  // A consumer is listed once per operand, nodes compared as messages. A
  // node can only equal a node of the same name; while the names met so far
  // are unique, it can only equal itself, and a node's own reads are linked
  // one after another, so looking at the last entry is exact. Otherwise
  // (a name met before; nodes of If branches, which are not renamed) the
  // equal-node index answers, in time linear in the lists.
  NodeSlots slots;
  PoolAllocator<Operand> alloc(operand_pool_);
  EqualNodeIndex listed_nodes;
  auto link = [&](onnx::NodeProto* node, bool full_check, bool top_level) {
    if (top_level) {
      slots.in_begin.push_back(slots.in.size());
      slots.is_if.push_back(node->op_type() == "If");
    }
    for (const auto& input : node->input()) {
      int64_t code = -1;
      if (!input.empty()) {
        HashedName name(input);
        size_t pos = 0;
        auto found = operands_->find(name);
        if (found != operands_->end()) {
          pos = operands_->position(found);
          if (reads_constant[pos]) code = const_code_of(name);
        } else {
          code = const_code_of(name);
          if (code == -1) {
            pos = operand_slot(*operands_, name, model_owner_, alloc);
            reads_constant.push_back(0);
          }
        }
        if (code == -1) {
          code = static_cast<int64_t>(pos);
          Operand& op = operand_at(*operands_, pos);
          bool listed = !op.outputs.empty() && op.outputs.back() == node;
          if (!listed && full_check) {
            listed = listed_nodes.holds(pos, op.outputs.data(), op.outputs.size(), *node);
          }
          if (!listed) op.outputs.push_back(node);
        }
      }
      if (top_level) slots.in.push_back(code);
    }
    if (top_level) slots.out_begin.push_back(slots.out.size());
    for (const auto& output : node->output()) {
      HashedName name(output);
      size_t pos = operand_slot(*operands_, name, model_owner_, alloc);
      if (pos == reads_constant.size()) {
        int64_t const_code = const_code_of(name);
        reads_constant.push_back(const_code != -1);
        if (const_code != -1) {
          const_is_operand.resize(static_cast<size_t>(graph_->initializer_size()), 0);
          const_is_operand[static_cast<size_t>(NodeSlots::const_pos(const_code))] = 1;
        }
      }
      Operand& op = operand_at(*operands_, pos);
      op.input = node;
      ++op.writers;
      if (top_level) slots.out.push_back(static_cast<int64_t>(pos));
    }
  };
  auto n = static_cast<size_t>(node_list->size());
  slots.in_begin.reserve(n + 1);
  slots.out_begin.reserve(n + 1);
  slots.in.reserve(n * 2);
  slots.out.reserve(n);
  slots.is_if.reserve(n);
  const int count = node_list->size();
  for (int i = 0; i < count; ++i) {
    read_ahead<kNodeName | kOpType | kNodeIO>(*node_list, i, [&](const onnx::NodeProto& ahead) {
      nodes_->prefetch(ahead.name());
      for (const auto& input : ahead.input()) {
        if (!input.empty()) operands_->prefetch(input);
      }
      for (const auto& name : ahead.output()) operands_->prefetch(name);
    });
    onnx::NodeProto* node = node_list->Mutable(i);
    index_node(node, i);
    bool unique_so_far = nodes_->size() == static_cast<size_t>(i) + 1;
    link(node, !unique_so_far, true);
  }
  const bool unique_names = nodes_->size() == n;
  slots.in_begin.push_back(slots.in.size());
  slots.out_begin.push_back(slots.out.size());
  for (auto* node : branch_nodes) link(node, true, false);
  // Reads of a constant that a node also writes are left to be resolved by
  // name.
  if (!const_is_operand.empty()) {
    for (auto& code : slots.in) {
      if (code <= -2 && const_is_operand[static_cast<size_t>(NodeSlots::const_pos(code))])
        code = -1;
    }
  }
  slots.names_unique = unique_names;
  return slots;
}

NodeSlots IRGraph::resolve_slots() const {
  NodeSlots slots;
  for (const auto& node : model_->graph().node()) {
    slots.in_begin.push_back(slots.in.size());
    slots.is_if.push_back(node.op_type() == "If");
    for (const auto& name : node.input()) {
      auto op = operands_->find(name);
      if (op != operands_->end()) {
        slots.in.push_back(static_cast<int64_t>(operands_->position(op)));
        continue;
      }
      auto c = consts_->find(name);
      slots.in.push_back(c != consts_->end() ? NodeSlots::const_code(c->second) : -1);
    }
    slots.out_begin.push_back(slots.out.size());
    for (const auto& name : node.output()) {
      auto op = operands_->find(name);
      slots.out.push_back(op != operands_->end() ? static_cast<int64_t>(operands_->position(op))
                                                 : -1);
    }
  }
  slots.in_begin.push_back(slots.in.size());
  slots.out_begin.push_back(slots.out.size());
  return slots;
}

OperandPtr IRGraph::ensure_operand(const std::string& name) {
  auto [it, added] = operands_->try_emplace(name);
  if (added) {
    it->second = std::make_shared<Operand>();
    it->second->owner = graph_owner_;
  }
  return it->second;
}

}  // namespace tarq
