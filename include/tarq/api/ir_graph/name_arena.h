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

// A list of lists of names (one list per node), flat in memory. A list other
// than the last can still grow (extend): its added names live beside the
// flat block and read after its own.
class NameLists {
 public:
  size_t size() const { return begin_.size(); }
  // Starts a new, empty list at the end.
  void push_list() { begin_.push_back(names_.size()); }
  // Appends a name to the last list.
  void push_name(std::string_view name) { names_.push_back(arena_.copy(name)); }
  // Appends names to list i.
  void extend(size_t i, const std::vector<std::string_view>& names) {
    if (names.empty()) return;
    if (extra_.size() < begin_.size()) extra_.resize(begin_.size());
    for (auto name : names) extra_[i].push_back(arena_.copy(name));
  }
  // Drops every name extend() added.
  void drop_extensions() { extra_.clear(); }
  size_t list_size(size_t i) const { return own_size(i) + extra_size(i); }
  std::string_view name(size_t i, size_t j) const {
    const size_t own = own_size(i);
    return j < own ? names_[begin_[i] + j] : extra_[i][j - own];
  }
  std::vector<std::string_view> list(size_t i) const {
    std::vector<std::string_view> out(names_.begin() + static_cast<std::ptrdiff_t>(begin_[i]),
                                      names_.begin() + static_cast<std::ptrdiff_t>(end_of(i)));
    if (extra_size(i)) out.insert(out.end(), extra_[i].begin(), extra_[i].end());
    return out;
  }
  void reserve(size_t lists) { begin_.reserve(lists); }

 private:
  size_t end_of(size_t i) const { return i + 1 < begin_.size() ? begin_[i + 1] : names_.size(); }
  size_t own_size(size_t i) const { return end_of(i) - begin_[i]; }
  size_t extra_size(size_t i) const { return i < extra_.size() ? extra_[i].size() : 0; }
  NameArena arena_;
  std::vector<std::string_view> names_;
  std::vector<size_t> begin_;
  std::vector<std::vector<std::string_view>> extra_;  // empty until a list is extended
};

}  // namespace tarq
