#include "tarq/api/ir_graph/nesting.h"

#include <google/protobuf/message.h>
#include <onnx/onnx_pb.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tarq/errors.h"

namespace tarq {

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

// Calls f(field, index) for every message a message holds directly (index
// -1 for a singular field), through reflection.
template <class F>
void for_each_child(const Message& m, std::vector<const FieldDescriptor*>& fields, F f) {
  const auto* r = m.GetReflection();
  fields.clear();
  r->ListFields(m, &fields);
  for (const auto* field : fields) {
    if (field->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) continue;
    if (!field->is_repeated()) {
      f(field, -1);
      continue;
    }
    for (int i = r->FieldSize(m, field) - 1; i >= 0; --i) f(field, i);
  }
}

// Counts levels the way protobuf does (a message is one level deeper than
// its parent) without recursion. Only graphs (in attributes) and types (in
// types) nest without bound, so only they go on the work list; everything
// else has a depth known from its type and is counted from the fields that
// are set, touching each node and value info once. This keeps the walk cheap
// enough to run before every recursive library call on a large model.
class DepthWalk {
 public:
  explicit DepthWalk(int limit) : limit_(limit) {}

  int run(const Message& root) {
    const auto* desc = root.GetDescriptor();
    if (desc == onnx::ModelProto::descriptor()) {
      model(static_cast<const onnx::ModelProto&>(root));
    } else if (desc == onnx::GraphProto::descriptor()) {
      graphs_.emplace_back(&static_cast<const onnx::GraphProto&>(root), 1);
    } else if (desc == onnx::NodeProto::descriptor()) {
      node(static_cast<const onnx::NodeProto&>(root), 1);
    } else if (desc == onnx::AttributeProto::descriptor()) {
      attribute(static_cast<const onnx::AttributeProto&>(root), 1);
    } else if (desc == onnx::ValueInfoProto::descriptor()) {
      value_info(static_cast<const onnx::ValueInfoProto&>(root), 1);
    } else if (desc == onnx::TypeProto::descriptor()) {
      types_.emplace_back(&static_cast<const onnx::TypeProto&>(root), 1);
    } else if (desc == onnx::FunctionProto::descriptor()) {
      function(static_cast<const onnx::FunctionProto&>(root), 1);
    } else {
      generic(root, 1);
    }
    while (deepest_ <= limit_ && (!graphs_.empty() || !types_.empty())) {
      if (!graphs_.empty()) {
        auto [g, level] = graphs_.back();
        graphs_.pop_back();
        graph(*g, level);
      } else {
        auto [t, level] = types_.back();
        types_.pop_back();
        type(*t, level);
      }
    }
    return deepest_;
  }

 private:
  void reach(int level) { deepest_ = std::max(deepest_, level); }

  // A tensor at `level`: its segment or external-data entries one below.
  void tensor(const onnx::TensorProto& t, int level) {
    reach(t.has_segment() || t.external_data_size() > 0 || t.metadata_props_size() > 0 ? level + 1
                                                                                       : level);
  }
  void sparse_tensor(const onnx::SparseTensorProto& t, int level) {
    reach(level);
    if (t.has_values()) tensor(t.values(), level + 1);
    if (t.has_indices()) tensor(t.indices(), level + 1);
  }

  void model(const onnx::ModelProto& m) {
    reach(1);
    if (m.opset_import_size() > 0 || m.metadata_props_size() > 0) reach(2);
    for (const auto& c : m.configuration()) generic(c, 2);
    if (m.has_graph()) graphs_.emplace_back(&m.graph(), 2);
    for (const auto& f : m.functions()) function(f, 2);
    for (const auto& t : m.training_info()) {
      reach(2);
      if (t.has_initialization()) graphs_.emplace_back(&t.initialization(), 3);
      if (t.has_algorithm()) graphs_.emplace_back(&t.algorithm(), 3);
      if (t.initialization_binding_size() > 0 || t.update_binding_size() > 0) reach(3);
    }
  }

  void function(const onnx::FunctionProto& f, int level) {
    reach(level);
    for (const auto& n : f.node()) node(n, level + 1);
    for (const auto& vi : f.value_info()) value_info(vi, level + 1);
    if (f.opset_import_size() > 0 || f.metadata_props_size() > 0 || f.attribute_proto_size() > 0) {
      reach(level + 1);
    }
    for (const auto& a : f.attribute_proto()) attribute(a, level + 1);
  }

  void graph(const onnx::GraphProto& g, int level) {
    reach(level);
    for (const auto& n : g.node()) node(n, level + 1);
    for (const auto* list : {&g.input(), &g.output(), &g.value_info()}) {
      for (const auto& vi : *list) value_info(vi, level + 1);
    }
    for (const auto& t : g.initializer()) tensor(t, level + 1);
    for (const auto& t : g.sparse_initializer()) sparse_tensor(t, level + 1);
    for (const auto& a : g.quantization_annotation()) generic(a, level + 1);
    if (g.metadata_props_size() > 0) reach(level + 1);
  }

  void node(const onnx::NodeProto& n, int level) {
    reach(level);
    for (const auto& a : n.attribute()) attribute(a, level + 1);
    if (n.metadata_props_size() > 0) reach(level + 1);
    for (const auto& c : n.device_configurations()) generic(c, level + 1);
  }

  void attribute(const onnx::AttributeProto& a, int level) {
    reach(level);
    if (a.has_t()) tensor(a.t(), level + 1);
    for (const auto& t : a.tensors()) tensor(t, level + 1);
    if (a.has_sparse_tensor()) sparse_tensor(a.sparse_tensor(), level + 1);
    for (const auto& t : a.sparse_tensors()) sparse_tensor(t, level + 1);
    if (a.has_g()) graphs_.emplace_back(&a.g(), level + 1);
    for (const auto& g : a.graphs()) graphs_.emplace_back(&g, level + 1);
    if (a.has_tp()) types_.emplace_back(&a.tp(), level + 1);
    for (const auto& t : a.type_protos()) types_.emplace_back(&t, level + 1);
  }

  void value_info(const onnx::ValueInfoProto& vi, int level) {
    reach(level);
    if (vi.metadata_props_size() > 0) reach(level + 1);
    if (vi.has_type()) type(vi.type(), level + 1);
  }

  // A type: a tensor type ends in its shape's dimensions; the element type
  // of a sequence, optional or map type sits two levels down and may nest.
  void type(const onnx::TypeProto& t, int level) {
    reach(level);
    switch (t.value_case()) {
      case onnx::TypeProto::kTensorType:
        shape_of(t.tensor_type(), level + 1);
        break;
      case onnx::TypeProto::kSparseTensorType:
        shape_of(t.sparse_tensor_type(), level + 1);
        break;
      case onnx::TypeProto::kSequenceType:
        reach(level + 1);
        if (t.sequence_type().has_elem_type()) {
          types_.emplace_back(&t.sequence_type().elem_type(), level + 2);
        }
        break;
      case onnx::TypeProto::kOptionalType:
        reach(level + 1);
        if (t.optional_type().has_elem_type()) {
          types_.emplace_back(&t.optional_type().elem_type(), level + 2);
        }
        break;
      case onnx::TypeProto::kMapType:
        reach(level + 1);
        if (t.map_type().has_value_type()) {
          types_.emplace_back(&t.map_type().value_type(), level + 2);
        }
        break;
      default:
        break;
    }
  }

  template <class Tensor>
  void shape_of(const Tensor& t, int level) {
    reach(level);
    if (!t.has_shape()) return;
    reach(t.shape().dim_size() > 0 ? level + 2 : level + 1);
  }

  // Any other message, at `level`: its fields through reflection (such
  // messages are small leaves of a model).
  void generic(const Message& root, int level) {
    std::vector<std::pair<const Message*, int>> work{{&root, level}};
    std::vector<const FieldDescriptor*> fields;
    while (!work.empty() && deepest_ <= limit_) {
      // Plain copies: structured bindings cannot be captured before C++20.
      const Message* m = work.back().first;
      const int at = work.back().second;
      work.pop_back();
      reach(at);
      const auto* r = m->GetReflection();
      for_each_child(*m, fields, [&](const FieldDescriptor* f, int i) {
        work.emplace_back(i < 0 ? &r->GetMessage(*m, f) : &r->GetRepeatedMessage(*m, f, i), at + 1);
      });
    }
  }

  int limit_;
  int deepest_ = 0;
  std::vector<std::pair<const onnx::GraphProto*, int>> graphs_;
  std::vector<std::pair<const onnx::TypeProto*, int>> types_;
};

}  // namespace

int nesting_depth(const Message& m, int limit) { return DepthWalk(limit).run(m); }

void check_nesting(const Message& m, const char* what) {
  int depth = nesting_depth(m);
  if (depth > kMaxNesting) {
    throw ValueError(std::string(what) + " nests messages more than " +
                     std::to_string(kMaxNesting) +
                     " levels deep (subgraphs inside subgraphs, or types inside types); at most " +
                     std::to_string(kMaxNesting) +
                     " are supported, as many as protobuf reads from a model file");
  }
}

void delete_message(Message* m) {
  if (!m) return;
  if (nesting_depth(*m) <= kMaxNesting) {
    delete m;
    return;
  }
  std::vector<Message*> work{m};
  std::vector<const FieldDescriptor*> fields;
  while (!work.empty()) {
    Message* cur = work.back();
    work.pop_back();
    const auto* r = cur->GetReflection();
    // Repeated children come last first, so each release takes the last.
    for_each_child(*cur, fields, [&](const FieldDescriptor* f, int i) {
      work.push_back(i < 0 ? r->ReleaseMessage(cur, f) : r->ReleaseLast(cur, f));
    });
    delete cur;
  }
}

}  // namespace tarq
