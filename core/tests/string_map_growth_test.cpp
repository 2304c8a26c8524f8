// StringMap at every size around the switch from key-by-key lookup to the
// hash index, against a plain list of pairs: order, lookups, replacement,
// copies, reserving and shrinking agree.
#include "korvanta/string_map.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace korvanta {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs pairs_of(const StringMap& map) {
  Pairs out;
  for (const auto& entry : map) out.emplace_back(entry.key, entry.value);
  return out;
}

void expect_same(const StringMap& map, const Pairs& want, std::size_t n) {
  ASSERT_EQ(pairs_of(map), want) << n << " keys";
  for (const auto& [key, value] : want) {
    const ShortText* found = map.find(key);
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(*found, value);
  }
  EXPECT_EQ(map.find("absent key, long enough to live on the heap"), nullptr);
}

class StringMapSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(StringMapSizes, AgreesWithAListOfPairs) {
  const std::size_t n = GetParam();
  StringMap map;
  if (n % 2 == 1) map.reserve(n);  // room made at once, up front, or grown entry by entry
  Pairs want;
  for (std::size_t i = 0; i < n; ++i) {
    // Short and long keys and values alike.
    std::string key = i % 2 ? "k" + std::to_string(i) : "a rather longer key number " + std::to_string(i);
    std::string value = std::string(i % 20, 'v') + std::to_string(i);
    map.insert_or_assign(key, value);
    want.emplace_back(std::move(key), std::move(value));
  }
  for (std::size_t i = 0; i < n; i += 3) {
    map.insert_or_assign(want[i].first, "replaced, past the inline size");
    want[i].second = "replaced, past the inline size";
  }
  expect_same(map, want, n);

  StringMap copy = map;
  map.shrink_to_fit();
  expect_same(map, want, n);
  expect_same(copy, want, n);

  // A shrunk map and a copy still grow as any other map.
  map.insert_or_assign("one more", "x");
  copy.insert_or_assign("one more", "x");
  want.emplace_back("one more", "x");
  expect_same(map, want, n + 1);
  expect_same(copy, want, n + 1);

  StringMap moved = std::move(map);
  expect_same(moved, want, n + 1);
  map = moved;  // NOLINT: a moved-from map is empty and assignable
  expect_same(map, want, n + 1);
}

INSTANTIATE_TEST_SUITE_P(AroundTheIndex, StringMapSizes,
                         ::testing::Values(0, 1, 4, 5, StringMap::kLinearMax - 1, StringMap::kLinearMax,
                                           StringMap::kLinearMax + 1, 17, 100));

}  // namespace
}  // namespace korvanta
