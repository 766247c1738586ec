#include "tarq/api/ir_graph/message_owner.h"

#include <google/protobuf/message.h>

#include "tarq/api/ir_graph/nesting.h"

namespace tarq {

MessageOwner::MessageOwner(std::unique_ptr<google::protobuf::Message> root)
    : root_(std::move(root)) {}

MessageOwner::~MessageOwner() {
  // A tree the views built thousands of levels deep must not be freed by
  // recursion.
  for (auto& m : parked_) delete_message(m.release());
  delete_message(root_.release());
}

void MessageOwner::park(std::unique_ptr<google::protobuf::Message> detached) {
  if (detached) parked_.push_back(std::move(detached));
}

void MessageOwner::park_contents(google::protobuf::Message* msg) {
  // Swap moves sub-message objects by pointer (both messages live on the
  // heap), so views into them follow the parked copy instead of dangling.
  std::unique_ptr<google::protobuf::Message> old(msg->New());
  msg->GetReflection()->Swap(msg, old.get());
  parked_.push_back(std::move(old));
}

}  // namespace tarq
