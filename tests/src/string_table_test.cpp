// The string table's ordered-map behaviour for entries that do not arrive
// in offset order (hand-made tables, fixtures): the array stays sorted and
// an offset keeps its first string.
#include "string_table.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

TEST(StringTable, EntriesInAnyOrderStaySortedByOffset) {
  StringTable table;
  EXPECT_TRUE(table.emplace(20, "c").second);
  EXPECT_TRUE(table.emplace(4, "a").second);
  EXPECT_TRUE(table.emplace(12, "b").second);
  EXPECT_TRUE(table.emplace(28, "d").second);
  const auto again = table.emplace(12, "other");
  EXPECT_FALSE(again.second);
  EXPECT_EQ(again.first->second, "b");
  table[8] = "between";

  std::vector<std::uint32_t> offsets;
  for (const auto& entry : table) offsets.push_back(entry.first);
  EXPECT_EQ(offsets, (std::vector<std::uint32_t>{4, 8, 12, 20, 28}));
  EXPECT_EQ(table.rbegin()->second, "d");
  EXPECT_EQ(table.at(8), "between");
  EXPECT_EQ(table.count(16), 0u);
  EXPECT_EQ(table.find(16), table.end());
  EXPECT_THROW(table.at(16), std::out_of_range);
  EXPECT_EQ(table, (StringTable{{4, "a"}, {8, "between"}, {12, "b"}, {20, "c"}, {28, "d"}}));
}

}  // namespace
