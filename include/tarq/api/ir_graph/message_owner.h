// MessageOwner: the owner of a tree of protobuf messages (a model, or a lone
// message a caller created), and the parking place of messages that leave it.
//
// Ownership: views, Operand records and index tables hold raw pointers to
// messages inside the tree together with a shared_ptr to its owner. A message
// that leaves the tree (a removed node, a cleared field, contents overwritten
// by CopyFrom/ParseFromString) is parked here instead of being freed, so such
// pointers never dangle: they keep referring to a detached message that lives
// as long as the owner. Nothing parked is ever handed back to the tree.
//
// A tree may also live on a protobuf arena that several owners share (the
// layers of one export). Nothing on an arena is freed before the arena, so a
// message that leaves such a tree stays where it is: protobuf hands the caller
// a heap copy to park, and views keep the original.
#pragma once

#include <cstddef>
#include <memory>
#include <unordered_map>
#include <vector>

namespace google::protobuf {
class Arena;
class Message;
}  // namespace google::protobuf

namespace tarq {

class MessageOwner : public std::enable_shared_from_this<MessageOwner> {
 public:
  explicit MessageOwner(std::unique_ptr<google::protobuf::Message> root);
  // A root created on `arena`; the owner keeps the arena alive.
  MessageOwner(std::shared_ptr<google::protobuf::Arena> arena, google::protobuf::Message* root);
  ~MessageOwner();
  MessageOwner(const MessageOwner&) = delete;
  MessageOwner& operator=(const MessageOwner&) = delete;

  // A new owner around a default instance of M.
  template <class M>
  static std::shared_ptr<MessageOwner> make() {
    return std::make_shared<MessageOwner>(std::make_unique<M>());
  }

  google::protobuf::Message& root() { return *root_; }
  // The arena the tree lives on, or null for the heap.
  google::protobuf::Arena* arena() const { return arena_.get(); }
  template <class M>
  M& root_as() {
    return static_cast<M&>(*root_);
  }

  // Keeps a message released from the tree alive with the owner. It must be
  // a heap message (what protobuf's release calls return, arena or not).
  void park(std::unique_ptr<google::protobuf::Message> detached);
  // Moves every field of *msg into a new parked message (sub-message objects
  // move with them, no copy), leaving *msg empty but at the same address.
  // Call it before overwriting a message wholesale.
  void park_contents(google::protobuf::Message* msg);
  size_t parked_count() const { return parked_.size(); }

  // Arrays may view a tensor's raw_data bytes in place (large constants read
  // by reference). pin() registers such bytes and returns the handle that
  // keeps them (and this owner) alive: its last copy unpins them. The owner
  // must be held by a shared_ptr.
  std::shared_ptr<const void> pin(const void* bytes);
  // Call before a TensorProto of this tree is written in place: when arrays
  // view its raw_data bytes, they move to a parked tensor and `m` gets a
  // copy of them, so the arrays keep reading what they read. Any other
  // message, or unpinned bytes, are left alone.
  void release_viewed_bytes(google::protobuf::Message* m);

 private:
  std::shared_ptr<google::protobuf::Arena> arena_;  // outlives what follows
  google::protobuf::Message* root_;                 // deleted by the owner unless on arena_
  std::vector<std::unique_ptr<google::protobuf::Message>> parked_;
  std::unordered_map<const void*, size_t> pins_;
};

// The same for an owner that may be null.
inline void release_viewed_bytes(MessageOwner* owner, google::protobuf::Message* m) {
  if (owner) owner->release_viewed_bytes(m);
}

using OwnerPtr = std::shared_ptr<MessageOwner>;

}  // namespace tarq
