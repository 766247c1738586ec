// Shape inference: runs ONNX shape inference over a model with standard error
// silenced, retries once with the graph outputs' shapes cleared when it fails,
// completes the value information of extended operators, and runs the ONNX
// checker when the model is standard, fully shaped and keeps its weights
// inline.
//
// Requires: an owner whose root is a ModelProto. Guarantees: descriptor 2 is
// restored and no descriptor is left open, whatever happens; the graph's
// tables and fields are not touched. Each inference attempt works on the
// model itself (nothing is copied but what it may write, onto an arena): a
// successful one merges what it finds into the types of the value
// information, inputs and outputs and appends new value information, so
// views of the model and of its parts stay attached and a rebuild parks
// nothing; a failed one gives every graph and subgraph back what it held,
// undoing type changes in place so that views stay attached there too.
// Effect on failure: inference failures never escape (the second one leaves
// the model with its output shapes cleared, a change the caller sees; only
// running out of memory while undoing an attempt does); errors of the
// value-information completion and of the checker (ValidationError with the
// checker's message) propagate, the model keeping whatever inference made
// of it.
#include <fcntl.h>
#include <google/protobuf/arena.h>
#include <google/protobuf/util/message_differencer.h>
#include <onnx/checker.h>
#include <onnx/onnx_pb.h>
#include <onnx/shape_inference/implementation.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <variant>

#include "tarq/api/ir_graph/companions/extend_ops.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/api/ir_graph/nesting.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

[[noreturn]] void throw_errno(const char* what) {
  throw FileError(std::string(what) + ": " + std::strerror(errno));
}

void flush_stderr() {
  std::cerr.flush();
  std::fflush(stderr);
}

// Silences descriptor 2 for the guard's lifetime. Construction opens the null
// device and duplicates descriptor 2 (a failure closes what was opened and
// throws, nothing redirected); exit() restores descriptor 2 and closes both,
// throwing when that fails; the destructor does the same for an error that
// unwinds past the guard, so standard error always comes back.
class SuppressStderr {
 public:
  SuppressStderr() {
    null_fd_ = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd_ < 0) throw_errno("cannot open /dev/null");
    save_fd_ = ::fcntl(2, F_DUPFD_CLOEXEC, 0);
    if (save_fd_ < 0) {
      int err = errno;
      ::close(null_fd_);
      errno = err;
      throw_errno("cannot duplicate standard error");
    }
    flush_stderr();
    if (::dup2(null_fd_, 2) < 0) {
      int err = errno;
      ::close(null_fd_);
      ::close(save_fd_);
      errno = err;
      throw_errno("cannot redirect standard error");
    }
  }
  SuppressStderr(const SuppressStderr&) = delete;
  SuppressStderr& operator=(const SuppressStderr&) = delete;
  ~SuppressStderr() {
    if (!exited_) restore();
  }

  void exit() {
    if (!restore()) throw_errno("cannot restore standard error");
  }

 private:
  bool restore() {
    exited_ = true;
    flush_stderr();
    bool ok = ::dup2(save_fd_, 2) >= 0;
    ok = (::close(null_fd_) == 0) && ok;
    ok = (::close(save_fd_) == 0) && ok;
    return ok;
  }

  int null_fd_ = -1;
  int save_fd_ = -1;
  bool exited_ = false;
};

// True when two value infos say the same; the usual entry (a name and a
// tensor type) is compared field by field, anything else as a message.
bool same_value_info(const onnx::ValueInfoProto& a, const onnx::ValueInfoProto& b) {
  if (a.name() != b.name()) return false;
  const auto& ta = a.type();
  const auto& tb = b.type();
  bool plain = ta.has_tensor_type() && tb.has_tensor_type() && a.doc_string().empty() &&
               b.doc_string().empty() && a.metadata_props_size() == 0 &&
               b.metadata_props_size() == 0 && ta.denotation().empty() && tb.denotation().empty();
  if (!plain) return google::protobuf::util::MessageDifferencer::Equals(a, b);
  const auto& x = ta.tensor_type();
  const auto& y = tb.tensor_type();
  if (x.elem_type() != y.elem_type() || x.has_shape() != y.has_shape()) return false;
  if (x.shape().dim_size() != y.shape().dim_size()) return false;
  for (int i = 0; i < x.shape().dim_size(); ++i) {
    const auto& d = x.shape().dim(i);
    const auto& e = y.shape().dim(i);
    if (d.value_case() != e.value_case() || d.dim_value() != e.dim_value() ||
        d.dim_param() != e.dim_param() || d.denotation() != e.denotation()) {
      return false;
    }
  }
  return true;
}

using ValueInfos = google::protobuf::RepeatedPtrField<onnx::ValueInfoProto>;

// Undoes in place what an inference attempt did to a type, so that every
// sub-message that existed before stays where views may point at it.
// Inference only adds to a type: it sets a missing element type, gives a
// missing shape, fills unknown dimensions, or assigns a whole type where
// there was none; what it created is deleted here (nobody has seen it).
// Returns false when the type changed in some other way.
void restore_dim(onnx::TensorShapeProto_Dimension& d, const onnx::TensorShapeProto_Dimension& was) {
  switch (was.value_case()) {
    case onnx::TensorShapeProto_Dimension::kDimValue:
      d.set_dim_value(was.dim_value());
      break;
    case onnx::TensorShapeProto_Dimension::kDimParam:
      d.set_dim_param(was.dim_param());
      break;
    default:
      d.clear_value();
  }
  if (was.has_denotation()) {
    d.set_denotation(was.denotation());
  } else {
    d.clear_denotation();
  }
}

template <class Tensor>
bool restore_tensor_type(Tensor& cur, const Tensor& was) {
  if (was.has_elem_type()) {
    cur.set_elem_type(was.elem_type());
  } else {
    cur.clear_elem_type();
  }
  if (!was.has_shape()) {
    cur.clear_shape();
    return true;
  }
  if (!cur.has_shape()) return false;
  auto& dims = *cur.mutable_shape()->mutable_dim();
  const auto& old = was.shape().dim();
  if (dims.size() < old.size()) return false;
  while (dims.size() > old.size()) dims.RemoveLast();
  for (int k = 0; k < old.size(); ++k) restore_dim(*dims.Mutable(k), old.Get(k));
  return true;
}

bool restore_type(onnx::TypeProto& cur, const onnx::TypeProto& was);

// The element type of a sequence or optional type; absent before means the
// attempt made it.
template <class Holder>
bool restore_elem_type(Holder& cur, const Holder& was) {
  if (!was.has_elem_type()) {
    cur.clear_elem_type();
    return true;
  }
  return restore_type(*cur.mutable_elem_type(), was.elem_type());
}

bool restore_type(onnx::TypeProto& cur, const onnx::TypeProto& was) {
  using T = onnx::TypeProto;
  bool ok = true;
  if (cur.value_case() != was.value_case()) {
    if (was.value_case() != T::VALUE_NOT_SET) return false;
    cur.clear_value();
  } else {
    switch (was.value_case()) {
      case T::kTensorType:
        ok = restore_tensor_type(*cur.mutable_tensor_type(), was.tensor_type());
        break;
      case T::kSparseTensorType:
        ok = restore_tensor_type(*cur.mutable_sparse_tensor_type(), was.sparse_tensor_type());
        break;
      case T::kSequenceType:
        ok = restore_elem_type(*cur.mutable_sequence_type(), was.sequence_type());
        break;
      case T::kOptionalType:
        ok = restore_elem_type(*cur.mutable_optional_type(), was.optional_type());
        break;
      case T::kMapType: {
        auto& c = *cur.mutable_map_type();
        const auto& w = was.map_type();
        if (w.has_key_type()) {
          c.set_key_type(w.key_type());
        } else {
          c.clear_key_type();
        }
        if (!w.has_value_type()) {
          c.clear_value_type();
        } else {
          ok = restore_type(*c.mutable_value_type(), w.value_type());
        }
        break;
      }
      default:
        break;
    }
  }
  if (was.has_denotation()) {
    cur.set_denotation(was.denotation());
  } else {
    cur.clear_denotation();
  }
  return ok;
}

// What an inference attempt may write, copied beforehand onto an arena: the
// value information, inputs and outputs of the graph and of every subgraph
// in it. Inference merges what it finds into their types and appends new
// value information; it changes nothing else in place (not nodes, not
// initializers). Copying onto an arena costs a bump of a pointer per message
// and frees everything at once.
class InferenceBackup {
 public:
  explicit InferenceBackup(onnx::GraphProto& root) {
    std::vector<onnx::GraphProto*> work{&root};
    while (!work.empty()) {
      onnx::GraphProto* g = work.back();
      work.pop_back();
      auto* saved = google::protobuf::Arena::CreateMessage<onnx::GraphProto>(&arena_);
      *saved->mutable_value_info() = g->value_info();
      *saved->mutable_input() = g->input();
      *saved->mutable_output() = g->output();
      graphs_.emplace_back(g, saved);
      for (auto& node : *g->mutable_node()) {
        for (auto& a : *node.mutable_attribute()) {
          if (a.has_g()) work.push_back(a.mutable_g());
          for (auto& sub : *a.mutable_graphs()) work.push_back(&sub);
        }
      }
    }
  }

  // Gives every graph back what it held when the backup was taken. Entries
  // inference appended are deleted (nobody has seen them); a changed type is
  // undone in place. Should a type have changed some other way, the entry
  // gets its old contents by a swap, the inferred ones being parked.
  void restore(MessageOwner& owner) const {
    for (const auto& [g, saved] : graphs_) {
      restore_list(owner, *g->mutable_value_info(), saved->value_info());
      restore_list(owner, *g->mutable_input(), saved->input());
      restore_list(owner, *g->mutable_output(), saved->output());
    }
  }

 private:
  static void restore_list(MessageOwner& owner, ValueInfos& list, const ValueInfos& old) {
    while (list.size() > old.size()) list.RemoveLast();
    for (int i = 0; i < old.size(); ++i) {
      auto& cur = *list.Mutable(i);
      const auto& was = old.Get(i);
      if (same_value_info(cur, was)) continue;
      if (was.has_type()) {
        if (restore_type(*cur.mutable_type(), was.type()) && same_value_info(cur, was)) continue;
      } else {
        cur.clear_type();
        if (same_value_info(cur, was)) continue;
      }
      auto previous = std::make_unique<onnx::ValueInfoProto>(was);
      cur.Swap(previous.get());
      owner.park(std::move(previous));
    }
  }

  google::protobuf::Arena arena_;
  std::vector<std::pair<onnx::GraphProto*, onnx::GraphProto*>> graphs_;  // live, saved
};

// The operator schemas, with "Reshape_" read as Reshape: the shape
// derivation renames the Reshape nodes of its copy, and inference (with
// data propagation, computed targets included) then goes on past them in
// one pass. A model of its own never holds that type.
class RenamedReshapeRegistry final : public onnx::ISchemaRegistry {
 public:
  // NOLINTNEXTLINE(google-default-arguments)
  const onnx::OpSchema* GetSchema(const std::string& key, int max_inclusive_version,
                                  const std::string& domain) const override {
    const auto* schemas = onnx::OpSchemaRegistry::Instance();
    const bool renamed = key == "Reshape_" && (domain.empty() || domain == "ai.onnx");
    return schemas->GetSchema(renamed ? "Reshape" : key, max_inclusive_version, domain);
  }
};

// One inference attempt, in place. On success the model holds what inference
// made of it and true is returned; on any failure the model is given back
// what it held before and false is returned.
bool try_infer(MessageOwner& owner, onnx::ModelProto& model, bool data_prop) {
  std::optional<InferenceBackup> backup;
  try {
    backup.emplace(*model.mutable_graph());
  } catch (...) {
    return false;
  }
  try {
    static const RenamedReshapeRegistry schemas;
    onnx::shape_inference::InferShapes(model, &schemas,
                                       onnx::ShapeInferenceOptions(false, 0, data_prop));
    return true;
  } catch (...) {
    backup->restore(owner);
    return false;
  }
}

// Drops the shape of every graph output that has a tensor type, keeping the
// element type; the shapes are parked, not freed.
void clear_output_shapes(MessageOwner& owner, onnx::ModelProto& model) {
  for (auto& out : *model.mutable_graph()->mutable_output()) {
    if (!out.type().has_tensor_type()) continue;
    auto* tt = out.mutable_type()->mutable_tensor_type();
    if (tt->has_shape())
      owner.park(std::unique_ptr<google::protobuf::Message>(tt->release_shape()));
  }
}

// True when every graph output has a non-empty shape of fixed dimensions.
bool outputs_fully_shaped(const onnx::ModelProto& model) {
  bool shaped = true;
  for (const auto& out : model.graph().output()) {
    Shape shape = inf_shape(out, /*none=*/true);
    if (shape.empty()) shaped = false;
    for (const auto& d : shape) {
      if (std::holds_alternative<std::monostate>(d)) shaped = false;
    }
  }
  return shaped;
}

}  // namespace

OwnerPtr IRGraph::infer_shapes(const OwnerPtr& model_owner, bool check, bool dynamic,
                               bool data_prop) {
  if (!model_owner || model_owner->root().GetDescriptor() != onnx::ModelProto::descriptor()) {
    throw ValueError("infer_shapes needs a ModelProto");
  }
  auto& model = model_owner->root_as<onnx::ModelProto>();
  // Inference and the checker recurse. Within a rebuild the nesting is
  // checked at its start and again after host code ran (the cleaning).
  if (!rebuilding_) check_nesting(model, "the model");
  bool uses_extended = false;
  {
    SuppressStderr quiet;
    if (!try_infer(*model_owner, model, data_prop)) {
      clear_output_shapes(*model_owner, model);
      try_infer(*model_owner, model, data_prop);
    }
    uses_extended = update_model_value_info(this, model, dynamic, model_owner.get());
    quiet.exit();
  }
  if (!outputs_fully_shaped(model)) check = false;
  if (model.graph().input_size() == 0) check = false;
  if (!uses_extended && check && !initializer_dat) {
    try {
      onnx::checker::check_model(model);
    } catch (const std::exception& e) {
      throw ValidationError(e.what());
    }
  }
  return model_owner;
}

}  // namespace tarq
