// NameTable<V>: the index tables' map from name to V. It keeps insertion
// order (positions are stable until an erase) and keeps its keys in its own
// arena, so building a table of n names costs no allocation per name; keys
// are views that stay valid as long as the table, or as long as someone
// holds key_storage(). Keys cannot be changed through iterators. Lookups
// take any string-like key. At most 2^32 - 2 entries.
//
// Entries live in one vector in insertion order; a power-of-two array of
// 8-byte slots (entry position and the upper half of the name's hash) finds
// them by linear probing at a load of at most one half. On a large model the
// slot array no longer fits in the CPU caches and a lookup waits for memory;
// prefetch() lets a walk start that wait a few names ahead.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tarq/api/ir_graph/name_arena.h"
#include "tarq/api/ir_graph/name_hash.h"

namespace tarq {

namespace name_table_detail {

// Allocates arrays of 2 MiB and more on 2 MiB boundaries and asks the kernel
// to back them with huge pages: the slot array of a large table is read at
// random, and with 4 KiB pages nearly every lookup also missed the TLB.
template <class T>
struct LargeArrayAllocator {
  using value_type = T;
  static constexpr size_t kHuge = size_t{2} << 20;
  LargeArrayAllocator() = default;
  template <class U>
  LargeArrayAllocator(const LargeArrayAllocator<U>&) {}
  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kHuge) return std::allocator<T>().allocate(n);
    const size_t rounded = (bytes + kHuge - 1) & ~(kHuge - 1);
    void* p = std::aligned_alloc(kHuge, rounded);
    if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) noexcept {
    if (n * sizeof(T) < kHuge) {
      std::allocator<T>().deallocate(p, n);
    } else {
      std::free(p);
    }
  }
  template <class U>
  bool operator==(const LargeArrayAllocator<U>&) const {
    return true;
  }
  template <class U>
  bool operator!=(const LargeArrayAllocator<U>&) const {
    return false;
  }
};

}  // namespace name_table_detail

template <class V>
class NameTable {
 public:
  using Entry = std::pair<const std::string_view, V>;
  using iterator = typename std::vector<Entry>::iterator;
  using const_iterator = typename std::vector<Entry>::const_iterator;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void reserve(size_t n) {
    check_room(n);
    entries_.reserve(n);
    if (2 * n > slots_.size()) rehash(capacity_for(n));
  }

  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }

  iterator find(std::string_view key) { return find(HashedName(key)); }
  const_iterator find(std::string_view key) const { return find(HashedName(key)); }
  iterator find(const HashedName& key) { return at_pos(lookup(key.name, key.hash)); }
  const_iterator find(const HashedName& key) const {
    size_t pos = lookup(key.name, key.hash);
    return pos == kNone ? end() : begin() + static_cast<std::ptrdiff_t>(pos);
  }
  size_t count(std::string_view key) const { return count(HashedName(key)); }
  size_t count(const HashedName& key) const { return lookup(key.name, key.hash) != kNone; }
  // Throws std::out_of_range when missing.
  const V& at(std::string_view key) const {
    size_t pos = lookup(key, hash_name(key));
    if (pos == kNone) throw std::out_of_range("no entry named '" + std::string(key) + "'");
    return entries_[pos].second;
  }
  V& at(std::string_view key) { return const_cast<V&>(std::as_const(*this).at(key)); }

  // Inserts (key, V{}) at the end when missing; returns the entry and whether
  // it was added. The key is copied into the arena only when added.
  std::pair<iterator, bool> try_emplace(std::string_view key) { return try_emplace(key, V{}); }
  std::pair<iterator, bool> try_emplace(std::string_view key, V value) {
    return try_emplace(HashedName(key), std::move(value));
  }
  std::pair<iterator, bool> try_emplace(const HashedName& hashed, V value = V{}) {
    const std::string_view key = hashed.name;
    const size_t h = hashed.hash;
    size_t i = static_cast<size_t>(h) & mask_;
    const uint64_t tag = tag_of(h);
    if (!slots_.empty()) {
      for (;; i = (i + 1) & mask_) {
        uint64_t s = slots_[i];
        if (s == 0) break;
        if ((s >> 32) == tag && entries_[pos_of(s)].first == key)
          return {entries_.begin() + static_cast<std::ptrdiff_t>(pos_of(s)), false};
      }
    }
    check_room(entries_.size() + 1);
    if (2 * (entries_.size() + 1) > slots_.size()) {
      rehash(capacity_for(entries_.size() + 1));
      i = free_slot(h);
    }
    // The entry first: should it throw, no slot points past the end.
    entries_.emplace_back(arena_->copy(key), std::move(value));
    slots_[i] = (tag << 32) | entries_.size();
    return {entries_.end() - 1, true};
  }
  // Inserts or overwrites; a new key goes to the end.
  V& operator[](std::string_view key) { return try_emplace(key).first->second; }
  // Removes the entry; later entries move up one position. Linear in size.
  size_t erase(std::string_view key) {
    size_t pos = lookup(key, hash_name(key));
    if (pos == kNone) return 0;
    // Keys are const, so the entries after it are moved into a new vector.
    std::vector<Entry> kept;
    kept.reserve(entries_.capacity());
    for (size_t k = 0; k < entries_.size(); ++k) {
      if (k != pos) kept.emplace_back(entries_[k].first, std::move(entries_[k].second));
    }
    entries_.swap(kept);
    rehash(slots_.size());
    return 1;
  }

  // Entry at an insertion position.
  const Entry& entry(size_t pos) const { return entries_[pos]; }
  size_t position(const_iterator it) const { return static_cast<size_t>(it - entries_.begin()); }

  // The storage the keys view; holding it keeps every key ever inserted
  // valid after the table is gone.
  std::shared_ptr<const void> key_storage() const { return arena_; }

  // Starts loading the slot where `key` would be found. Always inlined: an
  // out-of-line call whose only effect is a prefetch may be dropped.
  __attribute__((always_inline)) void prefetch(std::string_view key) const {
    prefetch(HashedName(key));
  }
  __attribute__((always_inline)) void prefetch(const HashedName& key) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[key.hash & mask_]);
  }

 private:
  static constexpr size_t kNone = ~size_t{0};
  static uint64_t tag_of(size_t h) { return static_cast<uint64_t>(h) >> 32; }
  static size_t pos_of(uint64_t slot) { return static_cast<size_t>(slot & 0xffffffffu) - 1; }
  static constexpr size_t kMaxEntries = 0xfffffffeu;  // positions + 1 fit in 32 bits
  static void check_room(size_t n) {
    if (n > kMaxEntries) throw std::length_error("a name table holds at most 2^32 - 2 entries");
  }
  static size_t capacity_for(size_t n) {
    size_t cap = 16;
    while (cap < 2 * n) cap *= 2;
    return cap;
  }

  iterator at_pos(size_t pos) {
    return pos == kNone ? entries_.end() : entries_.begin() + static_cast<std::ptrdiff_t>(pos);
  }

  size_t lookup(std::string_view key, size_t h) const {
    if (slots_.empty()) return kNone;
    const uint64_t tag = tag_of(h);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      uint64_t s = slots_[i];
      if (s == 0) return kNone;
      if ((s >> 32) == tag && entries_[pos_of(s)].first == key) return pos_of(s);
    }
  }

  size_t free_slot(size_t h) const {
    size_t i = h & mask_;
    while (slots_[i] != 0) i = (i + 1) & mask_;
    return i;
  }

  void rehash(size_t cap) {
    slots_.assign(cap, 0);
    mask_ = cap - 1;
    for (size_t pos = 0; pos < entries_.size(); ++pos) {
      size_t h = hash_name(entries_[pos].first);
      slots_[free_slot(h)] = (tag_of(h) << 32) | (pos + 1);
    }
  }

  std::vector<Entry> entries_;
  std::vector<uint64_t, name_table_detail::LargeArrayAllocator<uint64_t>> slots_;
  size_t mask_ = 0;
  std::shared_ptr<NameArena> arena_ = std::make_shared<NameArena>();
};

}  // namespace tarq
