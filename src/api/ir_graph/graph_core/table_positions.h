// Positions the index tables hold, checked against the list they index: the
// tables lag behind edits made through other means (views, another model
// assigned to `model`) until the next rebuild, and a stale position must
// fail cleanly rather than read past a list.
#pragma once

#include <google/protobuf/repeated_field.h>

#include <cstdint>
#include <string>

#include "tarq/errors.h"

namespace tarq {

[[noreturn]] inline void stale_position(const char* table, const std::string& name, int64_t pos,
                                        int size) {
  throw IndexError("'" + std::string(table) + "' places '" + name + "' at position " +
                   std::to_string(pos) + ", but the model's list has " + std::to_string(size) +
                   " entries; rebuild() after editing the model by other means");
}

template <class M>
const M& entry_at(const google::protobuf::RepeatedPtrField<M>& list, int64_t pos, const char* table,
                  const std::string& name) {
  if (pos < 0 || pos >= list.size()) stale_position(table, name, pos, list.size());
  return list.Get(static_cast<int>(pos));
}

template <class M>
M& entry_at(google::protobuf::RepeatedPtrField<M>* list, int64_t pos, const char* table,
            const std::string& name) {
  if (pos < 0 || pos >= list->size()) stale_position(table, name, pos, list->size());
  return *list->Mutable(static_cast<int>(pos));
}

}  // namespace tarq
