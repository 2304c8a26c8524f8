// ShortText: every size across the inline/heap boundary reads back, copies,
// moves and reassigns as the std::string it stands for.
#include "korvanta/short_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "korvanta/string_map.hpp"

namespace korvanta {
namespace {

// Bytes a size-tagged layout could misread: NUL, 0xFF, the sizes themselves.
std::string sample(std::size_t n, char salt) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>(i % 3 == 0 ? '\0' : i % 3 == 1 ? '\xff' : salt + i);
  return s;
}

class ShortTextSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ShortTextSizes, ReadsBackThroughCopyMoveAndReassignment) {
  const std::size_t n = GetParam();
  const std::string text = sample(n, 'a');
  ShortText t(text);
  EXPECT_EQ(t.size(), n);
  EXPECT_EQ(std::string(t), text);
  EXPECT_EQ(t.is_inline(), n <= ShortText::kInlineMax);

  ShortText copy = t;
  ShortText moved = std::move(t);
  EXPECT_EQ(copy, text);
  EXPECT_EQ(moved, text);
  EXPECT_TRUE(t.empty());  // NOLINT: a moved-from text is empty, and usable

  // Across the boundary both ways, and from a view of itself.
  for (const std::size_t m : {std::size_t{0}, std::size_t{5}, std::size_t{15}, std::size_t{16}, std::size_t{40}}) {
    const std::string other = sample(m, 'k');
    copy = std::string_view(other);
    EXPECT_EQ(copy, other);
    copy = moved;
    EXPECT_EQ(copy, text);
  }
  if (n > 0) {
    copy = copy.view().substr(1);
    EXPECT_EQ(copy, text.substr(1));
  }
  EXPECT_EQ("<" + moved + ">", "<" + text + ">");
  EXPECT_EQ(moved <=> ShortText(text + "x"), std::strong_ordering::less);
}

INSTANTIATE_TEST_SUITE_P(AcrossTheInlineLimit, ShortTextSizes,
                         ::testing::Values(0, 1, 7, 14, 15, 16, 17, 31, 255, 256, 70000));

// A literal is held, not copied, by every copy of it, and is never freed
// (the sanitizer run would report it): through assignment both ways with
// inline and heap texts, and as a map's keys and values.
TEST(ShortTextLiteral, IsHeldByItsCopiesAndNeverFreed) {
  static constexpr char kLong[] = "gen_ai.usage.cache_read.input_tokens";
  for (const ShortText& held : {ShortText::of_static("id"), ShortText::of_static(kLong)}) {
    const std::string text(held);
    ShortText copy = held;
    EXPECT_EQ(copy.data(), held.data());
    for (const std::string& other : {std::string("short"), std::string(40, 'h')}) {
      copy = ShortText(other);
      EXPECT_EQ(copy, other);
      copy = held;
      EXPECT_EQ(copy, text);
    }
    StringMap map;
    map.insert_or_assign(held, held);
    map.insert_or_assign(held, ShortText("replaced, past the inline size"));
    map.insert_or_assign(ShortText::of_static("k"), held);
    StringMap kept = map;
    map = StringMap();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(*kept.find(text), "replaced, past the inline size");
    EXPECT_EQ(kept.find("k")->data(), held.data());
  }
}

}  // namespace
}  // namespace korvanta
