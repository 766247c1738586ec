// Removing and replacing elements of repeated message fields without freeing
// what a view or a record may still point to: the element leaves the list and
// is parked with the owner of its model (freed only when no owner is given,
// for models nothing else can see).
#pragma once

#include <google/protobuf/repeated_field.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "tarq/api/ir_graph/message_owner.h"

namespace tarq {

// Takes every element out of `field` as it is. On the heap the caller owns
// them; on an arena they stay there (protobuf's plain extraction would hand
// back copies, and views and tables of the originals would go stale).
template <class M>
std::vector<M*> take_all(google::protobuf::RepeatedPtrField<M>* field) {
  std::vector<M*> elems(static_cast<size_t>(field->size()));
  if (field->GetArena()) {
    field->UnsafeArenaExtractSubrange(0, field->size(), elems.data());
  } else {
    field->ExtractSubrange(0, field->size(), elems.data());
  }
  return elems;
}

// Puts an element take_all took back at the end of the same field.
template <class M>
void put_back(google::protobuf::RepeatedPtrField<M>* field, M* elem) {
  if (field->GetArena()) {
    field->UnsafeArenaAddAllocated(elem);
  } else {
    field->AddAllocated(elem);
  }
}

// Parks an element take_all took from `field`, of `owner`'s tree, that does
// not go back. An arena keeps everything its tree ever held, including heap
// messages added to it (it owns those too): nothing to park there.
template <class M>
void park_taken(google::protobuf::RepeatedPtrField<M>* field, M* elem, MessageOwner& owner) {
  if (!field->GetArena()) owner.park(std::unique_ptr<google::protobuf::Message>(elem));
}

// Removes element i, keeping the order of the others: the element pointers
// after it move up in one rotation.
template <class M>
void erase_parked(google::protobuf::RepeatedPtrField<M>* field, int i, MessageOwner* owner) {
  std::rotate(field->pointer_begin() + i, field->pointer_begin() + i + 1, field->pointer_end());
  std::unique_ptr<M> gone(field->ReleaseLast());
  if (owner) owner->park(std::move(gone));
}

// Adds `fresh` at position i, moving the elements from i on down by one.
template <class M>
M* insert_at(google::protobuf::RepeatedPtrField<M>* field, int i, M fresh) {
  field->Add(std::move(fresh));
  std::rotate(field->pointer_begin() + i, field->pointer_end() - 1, field->pointer_end());
  return field->Mutable(i);
}

// Removes the elements at `positions` (ascending), keeping the order of the
// others, in one pass.
template <class M>
void erase_parked(google::protobuf::RepeatedPtrField<M>* field, const std::vector<int>& positions,
                  MessageOwner* owner) {
  if (positions.empty()) return;
  int kept = positions.front();
  size_t next = 0;
  for (int i = positions.front(); i < field->size(); ++i) {
    if (next < positions.size() && positions[next] == i) {
      ++next;
      continue;
    }
    field->SwapElements(kept++, i);
  }
  while (field->size() > kept) {
    std::unique_ptr<M> gone(field->ReleaseLast());
    if (owner) owner->park(std::move(gone));
  }
}

// Removes every element, parking each.
template <class M>
void clear_parked(google::protobuf::RepeatedPtrField<M>* field, MessageOwner* owner) {
  while (!field->empty()) {
    std::unique_ptr<M> gone(field->ReleaseLast());
    if (owner) owner->park(std::move(gone));
  }
}

// Puts `fresh` at position i in place of the element there.
template <class M>
void replace_parked(google::protobuf::RepeatedPtrField<M>* field, int i, M fresh,
                    MessageOwner* owner) {
  field->Add(std::move(fresh));
  field->SwapElements(i, field->size() - 1);
  std::unique_ptr<M> gone(field->ReleaseLast());
  if (owner) owner->park(std::move(gone));
}

}  // namespace tarq
