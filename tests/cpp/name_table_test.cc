// NameTable: the index tables' map. Order, positions and lookups must stay
// exact through growth, erasure and keys that die with their callers.
#include "tarq/api/ir_graph/name_table.h"

#include <gtest/gtest.h>

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

TEST(NameTable, EraseMovesLaterEntriesUpAndLookupsFollow) {
  NameTable<int64_t> t;
  for (const char* k : {"a", "b", "c", "d"}) t[k] = static_cast<int64_t>(t.size());
  EXPECT_EQ(t.erase("b"), 1u);
  EXPECT_EQ(t.erase("b"), 0u);
  std::vector<std::string> keys;
  for (const auto& [k, v] : t) keys.emplace_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "c", "d"}));
  EXPECT_EQ(t.position(t.find("d")), 2u);
  EXPECT_EQ(t.at("d"), 3);
  EXPECT_EQ(t.find("b"), t.end());
  t["b"] = 9;  // back at the end
  EXPECT_EQ(t.position(t.find("b")), 3u);
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
