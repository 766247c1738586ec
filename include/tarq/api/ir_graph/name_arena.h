// NameArena: owns copies of many short strings in a few large blocks, so that
// tables of names cost one allocation per block rather than one per name.
// Views it hands out stay valid for the arena's lifetime; nothing is freed
// before that.
#pragma once

#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace tarq {

class NameArena {
 public:
  std::string_view copy(std::string_view s) {
    if (s.size() > left_) grow(s.size());
    char* at = cur_;
    if (!s.empty()) std::memcpy(at, s.data(), s.size());
    cur_ += s.size();
    left_ -= s.size();
    return {at, s.size()};
  }

 private:
  // Blocks double from 1 KiB up to 64 KiB, so small tables stay small; they
  // are not zeroed.
  void grow(size_t need) {
    next_ = next_ < kMaxBlock ? next_ * 2 : kMaxBlock;
    size_t size = need > next_ ? need : next_;
    blocks_.emplace_back(new char[size]);
    cur_ = blocks_.back().get();
    left_ = size;
  }
  static constexpr size_t kMaxBlock = 1 << 16;
  size_t next_ = 512;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* cur_ = nullptr;
  size_t left_ = 0;
};

// A list of lists of names (one list per node), flat in memory.
class NameLists {
 public:
  size_t size() const { return begin_.size(); }
  // Starts a new, empty list at the end.
  void push_list() { begin_.push_back(names_.size()); }
  // Appends a name to the last list.
  void push_name(std::string_view name) { names_.push_back(arena_.copy(name)); }
  size_t list_size(size_t i) const { return end_of(i) - begin_[i]; }
  std::string_view name(size_t i, size_t j) const { return names_[begin_[i] + j]; }
  std::vector<std::string_view> list(size_t i) const {
    return {names_.begin() + static_cast<std::ptrdiff_t>(begin_[i]),
            names_.begin() + static_cast<std::ptrdiff_t>(end_of(i))};
  }
  void reserve(size_t lists) { begin_.reserve(lists); }

 private:
  size_t end_of(size_t i) const { return i + 1 < begin_.size() ? begin_[i + 1] : names_.size(); }
  NameArena arena_;
  std::vector<std::string_view> names_;
  std::vector<size_t> begin_;
};

}  // namespace tarq

#include <tsl/ordered_map.h>

#include <functional>
#include <string>
#include <utility>

#include "tarq/api/ir_graph/name_hash.h"

namespace tarq {

// NameTable<V>: a map from name to V that keeps insertion order (positions
// are stable until an erase) and keeps its keys in its own arena, so that
// building a table of n names costs no allocation per name. Keys are views;
// they stay valid as long as the table. Lookups take any string-like key.
template <class V>
class NameTable {
  using Entry = std::pair<std::string_view, V>;
  using Map = NameViewMap<V>;

 public:
  using iterator = typename Map::iterator;
  using const_iterator = typename Map::const_iterator;

  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  void reserve(size_t n) { map_.reserve(n); }

  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }
  iterator begin() { return map_.begin(); }
  iterator end() { return map_.end(); }

  iterator find(std::string_view key) { return map_.find(key); }
  const_iterator find(std::string_view key) const { return map_.find(key); }
  size_t count(std::string_view key) const { return map_.count(key); }
  // Throws std::out_of_range when missing.
  const V& at(std::string_view key) const { return map_.at(key); }
  V& at(std::string_view key) { return map_.at(key); }

  // Inserts (key, V{}) at the end when missing; returns the entry and whether
  // it was added. The key is copied into the arena only when added.
  std::pair<iterator, bool> try_emplace(std::string_view key) {
    auto it = map_.find(key);
    if (it != map_.end()) return {it, false};
    return map_.try_emplace(arena_.copy(key));
  }
  std::pair<iterator, bool> try_emplace(std::string_view key, V value) {
    auto it = map_.find(key);
    if (it != map_.end()) return {it, false};
    return map_.try_emplace(arena_.copy(key), std::move(value));
  }
  // Inserts or overwrites; a new key goes to the end.
  V& operator[](std::string_view key) { return try_emplace(key).first.value(); }
  size_t erase(std::string_view key) { return map_.erase(key); }

  // Entry at an insertion position.
  const Entry& entry(size_t pos) const { return map_.values_container()[pos]; }
  size_t position(const_iterator it) const { return static_cast<size_t>(it - map_.begin()); }

 private:
  Map map_;
  NameArena arena_;
};

}  // namespace tarq
