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
  out.end_array();
  EXPECT_EQ(out.view(),
            R"([{"role":"user","parts":[{"type":"text","content":"say \"hi\"\n\u0001"}]},)"
            R"({"role":"tool","parts":[]}])");
  EXPECT_TRUE(out.is_ascii());
}

TEST(GenAiJson, VerbatimTextWithHighBytesIsNotAscii) {
  JsonWriter out(JsonLayout::Compact);
  out.begin_array();
  out.element();
  out.verbatim("\"h\xc3\xa9\"");
  out.end_array();
  EXPECT_EQ(out.view(), "[\"h\xc3\xa9\"]");
  EXPECT_FALSE(out.is_ascii());
}

}  // namespace
}  // namespace korvanta
