#include "flatmap.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// Names that differ only in their last characters, as generated labels do,
// must still spread over the table and all be found again after it grew.
TEST(FlatMap, AgreesWithAnOrderedMapOverGrowth) {
  std::vector<std::string> names;
  for (int i = 0; i < 5000; ++i) {
    names.push_back("f" + std::to_string(i % 97) + "_entry" + std::to_string(i));
    names.push_back(std::to_string(i));  // short texts take the byte-wise tail
  }
  names.push_back("");
  FlatMap<std::string_view, int, TextHash> flat;
  std::map<std::string, int> expected;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto added = flat.emplace(names[i], static_cast<int>(i));
    EXPECT_EQ(added.second, expected.emplace(names[i], static_cast<int>(i)).second) << names[i];
    EXPECT_EQ(*added.first, expected.at(names[i])) << names[i];
  }
  // A second insertion of a name keeps the first value.
  EXPECT_FALSE(flat.emplace(names[0], -1).second);
  EXPECT_EQ(flat.size(), expected.size());
  for (const auto& e : expected) {
    const int* found = flat.find(e.first);
    ASSERT_NE(found, nullptr) << e.first;
    EXPECT_EQ(*found, e.second);
  }
  for (const char* absent : {"f1_entry", "entry1", "99999", "f1_entry1x"})
    EXPECT_EQ(flat.find(absent), nullptr) << absent;

  std::size_t seen = 0;
  flat.forEach([&](std::string_view key, int& value) {
    ++seen;
    EXPECT_EQ(expected.at(std::string(key)), value);
  });
  EXPECT_EQ(seen, expected.size());
}

TEST(FlatMap, EmptyMapFindsNothing) {
  const FlatMap<std::string_view, int, TextHash> flat;
  EXPECT_TRUE(flat.empty());
  EXPECT_EQ(flat.find("anything"), nullptr);
}

// Texts that differ only in their last byte hash apart in the low bits the
// table uses, or every lookup would walk one long run.
TEST(FlatMap, LastByteReachesTheLowBits) {
  const std::size_t mask = 0xFF;
  std::vector<bool> used(mask + 1, false);
  std::size_t distinct = 0;
  for (char c = 'a'; c <= 'z'; ++c) {
    const std::size_t slot = hashText(std::string("label_entry_") + c) & mask;
    if (!used[slot]) ++distinct;
    used[slot] = true;
  }
  EXPECT_GT(distinct, 20u);
}

}  // namespace
