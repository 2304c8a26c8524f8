// Identifier generation, text form and every parse diagnosis.
#include "korvanta/uuid.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace korvanta {
namespace {

constexpr std::string_view kCanonical = "67e55044-10b1-426f-9247-bb680e5fe0c8";

std::string parse_error(std::string_view text) {
  std::string error;
  EXPECT_FALSE(Uuid::parse_str(text, &error).has_value()) << text;
  return error;
}

TEST(UuidNewV4, VersionAndVariantBitsAndUniqueness) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string text = Uuid::new_v4().to_string();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string_view("89ab").find(text[19]), std::string_view::npos) << text;
    for (char c : text) EXPECT_TRUE(c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(UuidText, BytesInOrderWithHyphensAfterBytes3579) {
  Uuid id;
  for (int i = 0; i < 16; ++i) id.bytes[i] = static_cast<std::uint8_t>(i * 17);
  EXPECT_EQ(id.to_string(), "00112233-4455-6677-8899-aabbccddeeff");
}

TEST(TenantId, GeneratedTextIsLowerCaseHyphenated) {
  const std::string text = TenantId::generate().to_string();
  EXPECT_EQ(text.size(), 36u);
  EXPECT_EQ(Uuid::parse_str(text)->to_string(), text);
  for (char c : text) EXPECT_FALSE(c >= 'A' && c <= 'Z');
  EXPECT_NE(TenantId::generate(), TenantId::generate());
}

class UuidParseAccepts : public testing::TestWithParam<std::string> {};

TEST_P(UuidParseAccepts, EveryFormGivesTheSameValue) {
  const auto id = Uuid::parse_str(GetParam());
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->to_string(), kCanonical);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UuidParseAccepts,
    testing::Values("67e55044-10b1-426f-9247-bb680e5fe0c8", "67E55044-10B1-426F-9247-BB680E5FE0C8",
                    "67e5504410b1426f9247bb680e5fe0c8", "67E5504410B1426F9247BB680E5FE0C8",
                    "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
                    "{67E55044-10b1-426F-9247-bb680e5fe0c8}",
                    "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
                    "urn:uuid:67E55044-10B1-426F-9247-BB680E5FE0C8"));

struct Rejected {
  std::string text;
  std::string message;
};

class UuidParseRejects : public testing::TestWithParam<Rejected> {};

TEST_P(UuidParseRejects, WithTheDiagnosedMessage) {
  EXPECT_EQ(parse_error(GetParam().text), GetParam().message);
}

const std::string kBadChar =
    "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found ";

INSTANTIATE_TEST_SUITE_P(
    Messages, UuidParseRejects,
    testing::Values(
        Rejected{"", "invalid length: expected length 32 for simple format, found 0"},
        Rejected{"not-a-uuid", kBadChar + "`n` at 1"},
        Rejected{"1234-5678", "invalid group count: expected 5, found 2"},
        Rejected{"67e5504-10b1-426f-9247-bb680e5fe0c8",
                 "invalid group length in group 0: expected 8, found 7"},
        Rejected{"67e55044-10b1-426f-9247-bb680e5fe0c8a",
                 "invalid group length in group 4: expected 12, found 13"},
        Rejected{"{67e55044-10b1-426f-9247-bb680e5fe0c8a}",
                 "invalid group length in group 4: expected 12, found 13"},
        Rejected{"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8a",
                 "invalid group length in group 4: expected 12, found 13"},
        Rejected{"67e55044-10b-1426f-9247-bb680e5fe0c8",
                 "invalid group length in group 1: expected 4, found 3"},
        Rejected{"67e55044-10b1-426-f9247-bb680e5fe0c8",
                 "invalid group length in group 2: expected 4, found 3"},
        Rejected{"67e55044-10b1-426f-92470-bb680e5fe0c",
                 "invalid group length in group 3: expected 4, found 5"},
        Rejected{"67e5504410b1426f9247bb680e5fe0c", "invalid length: expected length 32 for simple format, found 31"},
        Rejected{"67e5504410b1426f9247bb680e5fe0c8a", "invalid length: expected length 32 for simple format, found 33"},
        Rejected{"{}", "invalid group count: expected 5, found 1"},
        Rejected{"urn:uuid:", "invalid group count: expected 5, found 1"},
        Rejected{"{67e5504410b1426f9247bb680e5fe0c8}", "invalid group count: expected 5, found 1"},
        Rejected{"67e55044-10b1-426f-9247-bb68-0e5fe0c8", "invalid group count: expected 5, found 6"},
        // Positions are 1-based byte positions in the whole text, wrapper included.
        Rejected{"{67e55044-10b1-426f-9247-bb680e5fe0cg}", kBadChar + "`g` at 37"},
        Rejected{"urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0cX", kBadChar + "`X` at 45"},
        Rejected{"URN:UUID:67e55044-10b1-426f-9247-bb680e5fe0c8", kBadChar + "`U` at 1"},
        Rejected{"67e55044-10b1-426f-9247-bb680e5fe0c8}", kBadChar + "`}` at 37"},
        Rejected{"67e5 044-10b1-426f-9247-bb680e5fe0c8", kBadChar + "` ` at 5"},
        // A multi-byte character is named whole, at its first byte's position.
        Rejected{"ab\xC3\xA9", kBadChar + "`\xC3\xA9` at 3"},
        Rejected{"a\xE2\x82\xAC" "b", kBadChar + "`\xE2\x82\xAC` at 2"}));

TEST(UuidParse, BytesThatAreNotCharactersAreNamedAsReplacementCharacter) {
  // An overlong 'E', a surrogate and a value past U+10FFFF: not characters,
  // so the message names U+FFFD and stays valid UTF-8.
  EXPECT_EQ(parse_error(std::string_view("67e55044-011B-426F-9247-BB67e50\xC1\x85" "4ee")),
            kBadChar + "`\xEF\xBF\xBD` at 32");
  EXPECT_EQ(parse_error("ab\xED\xA0\x80"), kBadChar + "`\xEF\xBF\xBD` at 3");
  EXPECT_EQ(parse_error("67e550442\xF4\x9F\x98\x80-b6f"), kBadChar + "`\xEF\xBF\xBD` at 10");
}

TEST(UuidParse, MalformedUtf8NeverReadsPastTheText) {
  // A lead byte promising more bytes than remain: reported, not over-read.
  const std::string text("abc\xF0\x9F", 5);
  EXPECT_EQ(parse_error(std::string_view(text.data(), 4)), kBadChar + "`\xEF\xBF\xBD` at 4");
}

}  // namespace
}  // namespace korvanta
