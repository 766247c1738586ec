// Shape inference: runs ONNX shape inference over a model with standard error
// silenced, retries once with the graph outputs' shapes cleared when it fails,
// completes the value information of extended operators, and runs the ONNX
// checker when the model is standard, fully shaped and keeps its weights
// inline.
//
// Requires: an owner whose root is a ModelProto. Guarantees: descriptor 2 is
// restored and no descriptor is left open, whatever happens; the graph's
// tables and fields are not touched. Each inference attempt runs on a working
// copy whose initializers are the model's own tensor objects, moved in (not
// copied) for the attempt. A failed attempt hands them back and leaves the
// model exactly as it was; a successful one replaces the model's contents in
// place: only the value information and the output types change (the ones
// replaced are parked with the owner), so views of the model, its nodes,
// inputs and initializers stay attached, and a rebuild parks no more than
// the value information it replaces. Effect on failure: inference failures
// never escape (the second one leaves the model with its output shapes
// cleared, a change the caller sees); errors of the value-information completion and of the checker
// (ValidationError with the checker's message) propagate, the model keeping
// whatever inference made of it.
#include <fcntl.h>
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
#include <variant>

#include "tarq/api/ir_graph/companions/extend_ops.h"
#include "tarq/api/ir_graph/companions/value_info.h"
#include "tarq/api/ir_graph/ir_graph.h"
#include "tarq/errors.h"

namespace tarq {

namespace {

using Initializers = google::protobuf::RepeatedPtrField<onnx::TensorProto>;

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

// Makes the model's value-info list `to` say what the inferred list `from`
// says, replacing only the entries that differ; the replaced contents are
// parked, so a rebuild whose inference finds nothing new parks nothing.
void take_value_infos(MessageOwner& owner,
                      google::protobuf::RepeatedPtrField<onnx::ValueInfoProto>* to,
                      google::protobuf::RepeatedPtrField<onnx::ValueInfoProto>* from) {
  const int common = std::min(to->size(), from->size());
  std::vector<char> replaced(static_cast<size_t>(from->size()), 0);
  for (int i = 0; i < common; ++i) {
    if (same_value_info(to->Get(i), from->Get(i))) continue;
    to->Mutable(i)->Swap(from->Mutable(i));
    replaced[static_cast<size_t>(i)] = 1;
  }
  while (to->size() > from->size()) {
    owner.park(std::unique_ptr<google::protobuf::Message>(to->ReleaseLast()));
  }
  // New entries move over in order; replaced contents are parked, the rest
  // are copies nobody has seen.
  std::vector<onnx::ValueInfoProto*> added;
  while (from->size() > common) added.push_back(from->ReleaseLast());
  for (auto it = added.rbegin(); it != added.rend(); ++it) to->AddAllocated(*it);
  while (!from->empty()) {
    std::unique_ptr<onnx::ValueInfoProto> last(from->ReleaseLast());
    if (replaced[static_cast<size_t>(from->size())]) owner.park(std::move(last));
  }
}

// Moves what inference adds to a graph (value information, output types) from
// the inferred copy `from` into the model's graph `to`, subgraphs included.
// Nodes, inputs and initializers of the model stay the same objects.
void take_inferred(MessageOwner& owner, onnx::GraphProto& to, onnx::GraphProto& from) {
  take_value_infos(owner, to.mutable_value_info(), from.mutable_value_info());
  take_value_infos(owner, to.mutable_output(), from.mutable_output());
  for (int n = 0; n < to.node_size() && n < from.node_size(); ++n) {
    auto* tn = to.mutable_node(n);
    auto* fn = from.mutable_node(n);
    for (int a = 0; a < tn->attribute_size() && a < fn->attribute_size(); ++a) {
      auto* ta = tn->mutable_attribute(a);
      auto* fa = fn->mutable_attribute(a);
      if (ta->has_g() && fa->has_g()) take_inferred(owner, *ta->mutable_g(), *fa->mutable_g());
      for (int k = 0; k < ta->graphs_size() && k < fa->graphs_size(); ++k) {
        take_inferred(owner, *ta->mutable_graphs(k), *fa->mutable_graphs(k));
      }
    }
  }
}

// One inference attempt, on a copy of the model that borrows its weights. On
// success the inferred value information and output types move into the
// model and true is returned; on any failure the model is left as it was and
// false is returned.
bool try_infer(MessageOwner& owner, onnx::ModelProto& model) {
  Initializers* inits = model.mutable_graph()->mutable_initializer();
  onnx::ModelProto work;
  {
    // Copy everything but the weights, then lend the weights to the copy.
    Initializers held;
    held.Swap(inits);
    try {
      work.CopyFrom(model);
    } catch (...) {
      held.Swap(inits);
      return false;
    }
    work.mutable_graph()->mutable_initializer()->Swap(&held);
  }
  bool ok = true;
  try {
    onnx::shape_inference::InferShapes(work);
  } catch (...) {
    ok = false;
  }
  inits->Swap(work.mutable_graph()->mutable_initializer());
  if (ok) take_inferred(owner, *model.mutable_graph(), *work.mutable_graph());
  return ok;
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

OwnerPtr IRGraph::infer_shapes(const OwnerPtr& model_owner, bool check, bool dynamic) {
  if (!model_owner || model_owner->root().GetDescriptor() != onnx::ModelProto::descriptor()) {
    throw ValueError("infer_shapes needs a ModelProto");
  }
  auto& model = model_owner->root_as<onnx::ModelProto>();
  bool uses_extended = false;
  {
    SuppressStderr quiet;
    if (!try_infer(*model_owner, model)) {
      clear_output_shapes(*model_owner, model);
      try_infer(*model_owner, model);
    }
    uses_extended = update_model_value_info(this, model, dynamic);
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
