// StringMap: uniqueness, replacement, order and copies.
#include "korvanta/string_map.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvanta {
namespace {

std::vector<std::string> keys_of(const StringMap& map) {
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.key);
  return keys;
}

TEST(StringMap, ReplacesValuesOfExistingKeysInPlace) {
  StringMap map;
  map.insert_or_assign("env", "dev");
  map.insert_or_assign("team", "search");
  map.insert_or_assign("env", "prod");
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(*map.find("env"), "prod");
  EXPECT_EQ(keys_of(map), (std::vector<std::string>{"env", "team"}));
  EXPECT_EQ(map.find("missing"), nullptr);
  EXPECT_EQ(StringMap().find("env"), nullptr);
}

TEST(StringMap, ManyKeysSurviveGrowthAndCopy) {
  StringMap map;
  const int n = 50000;
  for (int i = 0; i < n; ++i) map.insert_or_assign(std::to_string(i), std::to_string(i * 2));
  for (int i = 0; i < n; i += 2) map.insert_or_assign(std::to_string(i), "even");
  ASSERT_EQ(map.size(), static_cast<std::size_t>(n));
  const StringMap copy = map;
  for (int i = 0; i < n; ++i) {
    ASSERT_NE(copy.find(std::to_string(i)), nullptr) << i;
    EXPECT_EQ(*copy.find(std::to_string(i)), i % 2 == 0 ? "even" : std::to_string(i * 2));
  }
  EXPECT_EQ(keys_of(copy), keys_of(map));
  EXPECT_EQ(keys_of(copy).front(), "0");
  EXPECT_EQ(keys_of(copy).back(), std::to_string(n - 1));
}

TEST(StringMap, EmptyKeysAndEmbeddedNulsAreDistinctKeys) {
  StringMap map;
  map.insert_or_assign("", "empty");
  map.insert_or_assign(std::string("a\0b", 3), "nul");
  map.insert_or_assign("a", "plain");
  EXPECT_EQ(map.size(), 3u);
  EXPECT_EQ(*map.find(""), "empty");
  EXPECT_EQ(*map.find(std::string_view("a\0b", 3)), "nul");
  EXPECT_EQ(*map.find("a"), "plain");
}

}  // namespace
}  // namespace korvanta
