#include "tarq/api/ir_graph/message_owner.h"

#include <google/protobuf/message.h>
#include <onnx/onnx_pb.h>

#include "tarq/api/ir_graph/nesting.h"

namespace tarq {

MessageOwner::MessageOwner(std::unique_ptr<google::protobuf::Message> root)
    : root_(root.release()) {}

MessageOwner::MessageOwner(std::shared_ptr<google::protobuf::Arena> arena,
                           google::protobuf::Message* root)
    : arena_(std::move(arena)), root_(root) {}

MessageOwner::~MessageOwner() {
  // A tree the views built thousands of levels deep must not be freed by
  // recursion.
  for (auto& m : parked_) delete_message(m.release());
  if (!arena_) delete_message(root_);
}

void MessageOwner::park(std::unique_ptr<google::protobuf::Message> detached) {
  if (detached) parked_.push_back(std::move(detached));
}

void MessageOwner::park_contents(google::protobuf::Message* msg) {
  // Swap moves sub-message objects by pointer (both messages live in the
  // same place), so views into them follow the parked copy instead of
  // dangling. On an arena the copy stays there, with the arena.
  if (auto* arena = msg->GetArena()) {
    msg->GetReflection()->Swap(msg, msg->New(arena));
    return;
  }
  std::unique_ptr<google::protobuf::Message> old(msg->New());
  msg->GetReflection()->Swap(msg, old.get());
  parked_.push_back(std::move(old));
}

std::shared_ptr<const void> MessageOwner::pin(const void* bytes) {
  ++pins_[bytes];
  std::shared_ptr<MessageOwner> self = shared_from_this();
  return std::shared_ptr<const void>(bytes, [self](const void* p) {
    auto it = self->pins_.find(p);
    if (it != self->pins_.end() && --it->second == 0) self->pins_.erase(it);
  });
}

void MessageOwner::release_viewed_bytes(google::protobuf::Message* m) {
  if (pins_.empty() || !m || m->GetDescriptor() != onnx::TensorProto::descriptor()) return;
  auto* t = static_cast<onnx::TensorProto*>(m);
  if (t->raw_data().empty() || !pins_.count(t->raw_data().data())) return;
  auto keeper = std::make_unique<onnx::TensorProto>();
  keeper->mutable_raw_data()->swap(*t->mutable_raw_data());
  t->set_raw_data(keeper->raw_data());
  parked_.push_back(std::move(keeper));
}

}  // namespace tarq
