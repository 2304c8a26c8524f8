// Reading the usage-only chunk of a chat stream: which documents are it, and
// what is read from them.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "korvanta/usage_chunk.hpp"

namespace korvanta {
namespace {

using V = UsageChunkVerdict;

struct Case {
  std::string_view data;
  V verdict;
  std::string_view prompt, completion, cached, reasoning;
  std::optional<std::string_view> model;
};

TEST(UsageChunkTest, ReadsAsJsonLoadsWouldOrSaysItIsUnsure) {
  const Case cases[] = {
      {R"({"choices":[],"usage":{"prompt_tokens":21,"completion_tokens":9},"model":"m","id":"c"})", V::Usage, "21",
       "9", "", "", "m"},
      {" {\"usage\": {\"prompt_tokens_details\": {\"cached_tokens\": 4}, \"completion_tokens_details\": "
       "{\"reasoning_tokens\": -0}, \"prompt_tokens\": 1.5}}\r\n",
       V::Usage, "", "", "4", "-0", std::nullopt},
      {R"({"choices":[],"usage":{"prompt_tokens":1},"usage":{"completion_tokens":2}})", V::Usage, "", "2", "", "", {}},
      {R"({"choices":0,"usage":{},"model":null})", V::Usage, "", "", "", "", std::nullopt},
      {R"({"choices":[{}],"usage":{"prompt_tokens":1}})", V::NotUsage, "", "", "", "", {}},
      {R"({"choices":[],"usage":[]})", V::NotUsage, "", "", "", "", {}},
      {R"({"choices":[],"usage":{"prompt_tokens":01}})", V::NotUsage, "", "", "", "", {}},
      {R"({"choices":[],"usage":{},})", V::NotUsage, "", "", "", "", {}},
      {"{\"choices\":[],\"usage\":{\"a\":\"\x01\"}}", V::NotUsage, "", "", "", "", {}},
      {"{\"choices\":[],\"usage\":{\"a\":\"\xff\"}}", V::NotUsage, "", "", "", "", {}},
      {R"({"choices":[],"usage":{"a":NaN,"b":-Infinity}} x)", V::NotUsage, "", "", "", "", {}},
      {R"({"choices":1e-400,"usage":{}})", V::Unsure, "", "", "", "", {}},
      {R"({"choices":[],"\u0075sage":{}})", V::Unsure, "", "", "", "", {}},
      {R"({"choices":[],"usage":{},"model":"\u00e9"})", V::Unsure, "", "", "", "", {}},
      {R"({"choices":[],"usage":{},"id":7})", V::Unsure, "", "", "", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    const UsageChunk read = read_usage_chunk(c.data);
    EXPECT_EQ(read.verdict, c.verdict);
    EXPECT_EQ(read.prompt_tokens, c.prompt);
    EXPECT_EQ(read.completion_tokens, c.completion);
    EXPECT_EQ(read.cached_tokens, c.cached);
    EXPECT_EQ(read.reasoning_tokens, c.reasoning);
    EXPECT_EQ(read.model, c.model);
  }
}

TEST(UsageChunkTest, NestingOrIntegersPastPythonsLimitsAreLeftToAFullParser) {
  const std::string deep = R"({"choices":[],"usage":{},"x":)" + std::string(500, '[') + std::string(500, ']') + "}";
  EXPECT_EQ(read_usage_chunk(deep).verdict, V::Unsure);
  EXPECT_EQ(read_usage_chunk(std::string(500, '[')).verdict, V::Unsure);
  const std::string usage = R"({"choices":[],"usage":{},"x":)";
  EXPECT_EQ(read_usage_chunk(usage + "-" + std::string(640, '7') + "}").verdict, V::Usage);
  EXPECT_EQ(read_usage_chunk(usage + std::string(641, '7') + "}").verdict, V::Unsure);
  EXPECT_EQ(read_usage_chunk(usage + std::string(641, '7') + ".5}").verdict, V::Usage);  // floats have no limit
}

}  // namespace
}  // namespace korvanta
