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

// The deepest a message of these types nests (tensors, shapes, entries):
// they hold no graph and no type, so their depth is bounded.
constexpr int kLeafDepth = 3;

}  // namespace

int nesting_depth(const Message& root, int limit) {
  // The ONNX types that can nest without bound (graphs in attributes, types
  // in types) are walked through their generated accessors, which is cheap
  // enough to run before every recursive library call; anything else through
  // reflection.
  int deepest = 0;
  std::vector<std::pair<const Message*, int>> work{{&root, 1}};
  auto leaf = [&](bool present, int level) {
    if (present) deepest = std::max(deepest, level + kLeafDepth - 1);
  };
  while (!work.empty() && deepest <= limit) {
    auto [m, level] = work.back();
    work.pop_back();
    deepest = std::max(deepest, level);
    const int next = level + 1;
    const auto* desc = m->GetDescriptor();
    if (desc == onnx::NodeProto::descriptor()) {
      for (const auto& a : static_cast<const onnx::NodeProto*>(m)->attribute()) work.emplace_back(&a, next);
    } else if (desc == onnx::AttributeProto::descriptor()) {
      const auto& a = *static_cast<const onnx::AttributeProto*>(m);
      if (a.has_g()) work.emplace_back(&a.g(), next);
      for (const auto& g : a.graphs()) work.emplace_back(&g, next);
      if (a.has_tp()) work.emplace_back(&a.tp(), next);
      for (const auto& t : a.type_protos()) work.emplace_back(&t, next);
      leaf(a.has_t() || a.tensors_size() > 0 || a.has_sparse_tensor() ||
               a.sparse_tensors_size() > 0,
           next);
    } else if (desc == onnx::GraphProto::descriptor()) {
      const auto& g = *static_cast<const onnx::GraphProto*>(m);
      for (const auto& n : g.node()) work.emplace_back(&n, next);
      for (const auto* list : {&g.input(), &g.output(), &g.value_info()}) {
        for (const auto& vi : *list) work.emplace_back(&vi, next);
      }
      leaf(g.initializer_size() > 0 || g.sparse_initializer_size() > 0 ||
               g.quantization_annotation_size() > 0 || g.metadata_props_size() > 0,
           next);
    } else if (desc == onnx::ValueInfoProto::descriptor()) {
      const auto& vi = *static_cast<const onnx::ValueInfoProto*>(m);
      if (vi.has_type()) work.emplace_back(&vi.type(), next);
      leaf(vi.metadata_props_size() > 0, next);
    } else if (desc == onnx::TypeProto::descriptor()) {
      const auto& t = *static_cast<const onnx::TypeProto*>(m);
      // The element type of a sequence, optional or map sits two levels down.
      if (t.has_sequence_type() && t.sequence_type().has_elem_type()) {
        work.emplace_back(&t.sequence_type().elem_type(), next + 1);
      }
      if (t.has_optional_type() && t.optional_type().has_elem_type()) {
        work.emplace_back(&t.optional_type().elem_type(), next + 1);
      }
      if (t.has_map_type() && t.map_type().has_value_type()) {
        work.emplace_back(&t.map_type().value_type(), next + 1);
      }
      leaf(t.has_tensor_type() || t.has_sparse_tensor_type() || t.has_sequence_type() ||
               t.has_optional_type() || t.has_map_type(),
           next);
    } else {
      // Models, functions, training information and anything else.
      const auto* r = m->GetReflection();
      std::vector<const FieldDescriptor*> fields;
      r->ListFields(*m, &fields);
      for (const auto* f : fields) {
        if (f->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) continue;
        if (f->is_repeated()) {
          for (int i = 0; i < r->FieldSize(*m, f); ++i) {
            work.emplace_back(&r->GetRepeatedMessage(*m, f, i), next);
          }
        } else {
          work.emplace_back(&r->GetMessage(*m, f), next);
        }
      }
    }
  }
  return deepest;
}

void check_nesting(const Message& m, const char* what) {
  int depth = nesting_depth(m);
  if (depth > kMaxNesting) {
    throw ValueError(std::string(what) + " nests messages more than " +
                     std::to_string(kMaxNesting) +
                     " levels deep (subgraphs inside subgraphs, or types inside types); at most " +
                     std::to_string(kMaxNesting) +
                     " are supported, the limit protobuf applies when reading a model");
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
    fields.clear();
    r->ListFields(*cur, &fields);
    for (const auto* f : fields) {
      if (f->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) continue;
      if (f->is_repeated()) {
        while (r->FieldSize(*cur, f) > 0) work.push_back(r->ReleaseLast(cur, f));
      } else {
        work.push_back(r->ReleaseMessage(cur, f));
      }
    }
    delete cur;
  }
}

}  // namespace tarq
