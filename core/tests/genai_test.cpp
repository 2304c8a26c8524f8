// The GenAI message shapes as JSON, beside values written verbatim.
#include <gtest/gtest.h>

#include <string>

#include "korvanta/genai.hpp"

namespace korvanta {
namespace {

TEST(GenAiJson, TextMessagesAndVerbatimValuesShareOneArray) {
  JsonWriter out(JsonLayout::Compact);
  out.begin_array();
  out.element();
  write_text_message(out, "user", "say \"hi\"\n\x01");
  out.element();
  out.verbatim(R"({"role":"tool","parts":[]})");
  out.element();
  write_text_message(out, "assistant", "", "stop");
  out.end_array();
  EXPECT_EQ(out.view(),
            R"([{"role":"user","parts":[{"type":"text","content":"say \"hi\"\n\u0001"}]},)"
            R"({"role":"tool","parts":[]},)"
            R"({"role":"assistant","parts":[{"type":"text","content":""}],"finish_reason":"stop"}])");
  EXPECT_TRUE(out.is_ascii());
}

TEST(GenAiJson, VerbatimTextWithHighBytesIsNotAscii) {
  // A high byte in a text shorter than a word, inside a whole eight-byte word,
  // and in the bytes after the whole words.
  for (const std::string text : {"\"h\xc3\xa9\"", "\"abcdefgh\xc3\xa9ijklmnopq\"", "\"abcdefghijklmno\xc3\xa9\""}) {
    JsonWriter out(JsonLayout::Compact);
    out.begin_array();
    out.element();
    out.verbatim(text);
    out.end_array();
    EXPECT_EQ(out.view(), "[" + text + "]");
    EXPECT_FALSE(out.is_ascii()) << text;
  }
  JsonWriter ascii(JsonLayout::Compact);
  ascii.verbatim("\"abcdefghijklmnopqrstuvwxyz\"");
  EXPECT_TRUE(ascii.is_ascii());
}

}  // namespace
}  // namespace korvanta
