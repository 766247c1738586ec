// NameTable<V>: the index tables' map from name to V. It keeps insertion
// order (an erase leaves the other entries where they are) and keeps its keys in its own
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

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
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

  // Walks the live entries in insertion order.
  template <bool Const>
  class Iter {
    using Table = std::conditional_t<Const, const NameTable, NameTable>;

   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    using reference = std::conditional_t<Const, const Entry&, Entry&>;
    using pointer = std::conditional_t<Const, const Entry*, Entry*>;

    Iter() = default;
    Iter(Table* table, size_t pos) : table_(table), pos_(pos) {}
    operator Iter<true>() const { return Iter<true>(table_, pos_); }  // NOLINT
    reference operator*() const { return table_->entries_[pos_]; }
    pointer operator->() const { return &table_->entries_[pos_]; }
    Iter& operator++() {
      pos_ = table_->next_live(pos_ + 1);
      return *this;
    }
    Iter operator++(int) {
      Iter before = *this;
      ++*this;
      return before;
    }
    size_t pos() const { return pos_; }
    friend bool operator==(const Iter& a, const Iter& b) { return a.pos_ == b.pos_; }
    friend bool operator!=(const Iter& a, const Iter& b) { return a.pos_ != b.pos_; }

   private:
    Table* table_ = nullptr;
    size_t pos_ = 0;
  };
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  // Live entries.
  size_t size() const { return entries_.size() - dead_count_; }
  bool empty() const { return size() == 0; }
  // One past the highest position an entry holds: vectors indexed by
  // position need this many elements (erased entries keep their position
  // until the table compacts, see erase).
  size_t end_position() const { return entries_.size(); }
  void reserve(size_t n) {
    check_room(n);
    entries_.reserve(n);
    if (2 * n > slots_.size()) rehash(capacity_for(n));
  }

  const_iterator begin() const { return const_iterator(this, next_live(0)); }
  const_iterator end() const { return const_iterator(this, entries_.size()); }
  iterator begin() { return iterator(this, next_live(0)); }
  iterator end() { return iterator(this, entries_.size()); }

  iterator find(std::string_view key) { return find(HashedName(key)); }
  const_iterator find(std::string_view key) const { return find(HashedName(key)); }
  iterator find(const HashedName& key) { return at_pos(lookup(key.name, key.hash)); }
  const_iterator find(const HashedName& key) const {
    size_t pos = lookup(key.name, key.hash);
    return const_iterator(this, pos == kNone ? entries_.size() : pos);
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
          return {iterator(this, pos_of(s)), false};
      }
    }
    check_room(entries_.size() + 1);
    if (2 * (size() + 1) > slots_.size()) {
      rehash(capacity_for(size() + 1));
      i = free_slot(h);
    }
    // The entry first: should it throw, no slot points past the end.
    entries_.emplace_back(arena_->copy(key), std::move(value));
    if (!dead_.empty()) dead_.push_back(0);
    slots_[i] = (tag << 32) | entries_.size();
    return {iterator(this, entries_.size() - 1), true};
  }
  // Inserts or overwrites; a new key goes to the end.
  V& operator[](std::string_view key) { return try_emplace(key).first->second; }
  // Removes the entry; the others keep their order. Amortised constant time:
  // the entry's slot is freed at once (later slots of its probe run move
  // back), its place in the entry vector is left as a gap that iteration
  // skips, and the gaps are closed, in one pass that renumbers positions,
  // once they outnumber the live entries.
  size_t erase(std::string_view key) {
    const size_t h = hash_name(key);
    if (slots_.empty()) return 0;
    const uint64_t tag = tag_of(h);
    size_t i = h & mask_;
    for (;; i = (i + 1) & mask_) {
      uint64_t s = slots_[i];
      if (s == 0) return 0;
      if ((s >> 32) == tag && entries_[pos_of(s)].first == key) break;
    }
    const size_t pos = pos_of(slots_[i]);
    free_slot_at(i);
    if (dead_.empty()) dead_.assign(entries_.size(), 0);
    dead_[pos] = 1;
    ++dead_count_;
    entries_[pos].second = V{};  // releases what the value holds
    if (dead_count_ > 16 && dead_count_ > size()) compact();
    return 1;
  }

  // Adds `delta` to every value greater than `above` (positions of a list
  // after an element left or joined it): one pass over the entries.
  template <class T = V>
  std::enable_if_t<std::is_integral_v<T>> shift_values_above(T above, T delta) {
    for (auto& e : entries_) e.second += (e.second > above) ? delta : T{0};
  }

  // Entry at a position (one that find() or iteration gave).
  const Entry& entry(size_t pos) const { return entries_[pos]; }
  size_t position(const_iterator it) const { return it.pos(); }

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

  size_t next_live(size_t pos) const {
    if (dead_count_ == 0) return pos;
    while (pos < entries_.size() && dead_[pos]) ++pos;
    return pos;
  }

  iterator at_pos(size_t pos) { return iterator(this, pos == kNone ? entries_.size() : pos); }

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

  // Empties slot i and moves back the later slots of its run that would no
  // longer be found (linear probing without tombstones).
  void free_slot_at(size_t i) {
    size_t j = i;
    for (;;) {
      slots_[i] = 0;
      for (;;) {
        j = (j + 1) & mask_;
        if (slots_[j] == 0) return;
        const size_t home = hash_name(entries_[pos_of(slots_[j])].first) & mask_;
        // Slot j stays when its home lies cyclically in (i, j].
        const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (!stays) break;
      }
      slots_[i] = slots_[j];
      i = j;
    }
  }

  // Closes the gaps erase left: live entries move up, keeping their order.
  void compact() {
    std::vector<Entry> kept;
    kept.reserve(size());
    for (size_t k = 0; k < entries_.size(); ++k) {
      if (!dead_[k]) kept.emplace_back(entries_[k].first, std::move(entries_[k].second));
    }
    entries_.swap(kept);
    dead_.clear();
    dead_count_ = 0;
    rehash(capacity_for(entries_.size()));
  }

  void rehash(size_t cap) {
    slots_.assign(cap, 0);
    mask_ = cap - 1;
    for (size_t pos = 0; pos < entries_.size(); ++pos) {
      if (dead_count_ != 0 && dead_[pos]) continue;
      size_t h = hash_name(entries_[pos].first);
      slots_[free_slot(h)] = (tag_of(h) << 32) | (pos + 1);
    }
  }

  std::vector<Entry> entries_;
  // Per entry position, whether erase removed it; empty until the first erase.
  std::vector<uint8_t> dead_;
  size_t dead_count_ = 0;
  std::vector<uint64_t, name_table_detail::LargeArrayAllocator<uint64_t>> slots_;
  size_t mask_ = 0;
  std::shared_ptr<NameArena> arena_ = std::make_shared<NameArena>();
};

}  // namespace tarq
