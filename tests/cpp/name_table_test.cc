// NameTable: the index tables' map. Order, positions and lookups must stay
// exact through growth, erasure and keys that die with their callers.
#include "tarq/api/ir_graph/name_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tarq {
namespace {

TEST(NameTable, KeepsInsertionOrderPositionsAndOwnKeysThroughGrowth) {
  NameTable<int64_t> t;
  EXPECT_EQ(t.find("x"), t.end());  // empty: no slots yet
  t.prefetch("x");
  // Several doublings of the slot array, the last ones past 2 MiB, where it
  // moves to huge-page allocations (and a huge one is freed on growth).
  constexpr int kN = 300000;
  for (int i = 0; i < kN; ++i) {
    std::string key = "/stage" + std::to_string(i % 7) + "/Relu_" + std::to_string(i);
    auto [it, added] = t.try_emplace(key, i);
    ASSERT_TRUE(added);
    key.assign(key.size(), '#');  // the table holds its own copy
    EXPECT_EQ(it->first.substr(0, 6), "/stage");
  }
  ASSERT_EQ(t.size(), static_cast<size_t>(kN));
  for (int i = 0; i < kN; i += 97) {
    std::string key = "/stage" + std::to_string(i % 7) + "/Relu_" + std::to_string(i);
    auto it = t.find(key);
    ASSERT_NE(it, t.end());
    EXPECT_EQ(t.position(it), static_cast<size_t>(i));
    EXPECT_EQ(t.entry(static_cast<size_t>(i)).second, i);
    EXPECT_EQ(t.at(key), i);
  }
  EXPECT_FALSE(t.try_emplace("/stage0/Relu_0", -1).second);  // no overwrite
  EXPECT_EQ(t.at("/stage0/Relu_0"), 0);
  t["/stage0/Relu_0"] = 7;  // operator[] overwrites in place
  EXPECT_EQ(t.entry(0).second, 7);
  t["new"];  // and appends a default at the end
  EXPECT_EQ(t.position(t.find("new")), static_cast<size_t>(kN));
  EXPECT_EQ(t.count(""), 0u);
  t[""] = 3;  // the empty name is a name like any other
  EXPECT_EQ(t.at(""), 3);
  EXPECT_THROW(t.at("missing"), std::out_of_range);
}

TEST(NameTable, EraseKeepsOrderAndLookupsFollow) {
  NameTable<int64_t> t;
  for (const char* k : {"a", "b", "c", "d"}) t[k] = static_cast<int64_t>(t.size());
  EXPECT_EQ(t.erase("b"), 1u);
  EXPECT_EQ(t.erase("b"), 0u);
  std::vector<std::string> keys;
  for (const auto& [k, v] : t) keys.emplace_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "c", "d"}));
  EXPECT_EQ(t.size(), 3u);
  EXPECT_EQ(t.at("d"), 3);
  EXPECT_EQ(t.find("b"), t.end());
  t["b"] = 9;  // back at the end
  keys.clear();
  for (const auto& [k, v] : t) keys.emplace_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "c", "d", "b"}));
}

TEST(NameTable, ManyErasuresAgainstAReferenceMap) {
  // Erasing and re-adding at random, across compactions and growth, against
  // an ordered reference: every lookup, the size and the order must agree.
  NameTable<int64_t> t;
  std::vector<std::pair<std::string, int64_t>> ref;
  uint64_t seed = 12345;
  auto next = [&] { return seed = seed * 6364136223846793005ull + 1442695040888963407ull; };
  for (int step = 0; step < 20000; ++step) {
    const std::string key = "k" + std::to_string((next() >> 33) % 500);
    auto it = std::find_if(ref.begin(), ref.end(), [&](const auto& e) { return e.first == key; });
    if ((next() >> 40) % 3 == 0 || it == ref.end()) {
      if (it == ref.end()) ref.emplace_back(key, step);
      t.try_emplace(key, step);
    } else {
      ref.erase(it);
      ASSERT_EQ(t.erase(key), 1u);
    }
    if (step % 997 == 0 || step == 19999) {
      ASSERT_EQ(t.size(), ref.size());
      size_t k = 0;
      for (const auto& [name, v] : t) {
        ASSERT_EQ(name, ref[k].first);
        ASSERT_EQ(v, ref[k].second);
        ++k;
      }
      for (const auto& [name, v] : ref) ASSERT_EQ(t.at(name), v);
      for (int miss = 500; miss < 520; ++miss) ASSERT_EQ(t.count("k" + std::to_string(miss)), 0u);
    }
  }
}

TEST(NameTable, CollidingTagsStillCompareNames) {
  // Many names that differ only late share hash prefixes often enough to
  // exercise probing; every one must be found, none confused.
  NameTable<int64_t> t;
  t.reserve(3);  // then grows from a small slot array
  for (int i = 0; i < 2000; ++i) t[std::string(40, 'n') + std::to_string(i)] = i;
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(t.at(std::string(40, 'n') + std::to_string(i)), i);
  }
  EXPECT_EQ(t.find(std::string(40, 'n') + "2000"), t.end());
}

}  // namespace
}  // namespace tarq
