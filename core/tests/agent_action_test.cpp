// Agent actions: creation, builders and the 4096-byte result cut.
#include "korvanta/agent_action.hpp"

#include <gtest/gtest.h>

namespace korvanta {
namespace {

TEST(AgentAction, NewActionDefaults) {
  const AgentAction a = AgentAction::create(AgentActionType::WebAccess, "https://example.com");
  EXPECT_EQ(a.action_type, AgentActionType::WebAccess);
  EXPECT_EQ(a.name, "https://example.com");
  EXPECT_TRUE(a.success);
  EXPECT_TRUE(a.metadata.empty());
  EXPECT_FALSE(a.arguments || a.result || a.duration_ms || a.exit_code || a.http_method || a.http_status ||
               a.file_operation);
  EXPECT_NE(a.id, AgentAction::create(AgentActionType::WebAccess, "x").id);
}

TEST(AgentAction, BuildersReplaceEarlierValues) {
  AgentAction a = AgentAction::create(AgentActionType::ToolCall, "t").with_arguments("").with_result("first");
  a = std::move(a).with_result("second");
  EXPECT_EQ(a.arguments, "");  // present and empty, not absent
  EXPECT_EQ(a.result, "second");
  const std::string long_arguments(10000, 'a');
  EXPECT_EQ(std::move(a).with_arguments(long_arguments).arguments, long_arguments);
}

struct Cut {
  std::string text;
  std::size_t stored;
};

class ResultCut : public testing::TestWithParam<Cut> {};

TEST_P(ResultCut, KeepsTheLongestWholeCharacterPrefix) {
  const std::string& text = GetParam().text;
  const AgentAction a = AgentAction::create(AgentActionType::ToolCall, "t").with_result(text);
  EXPECT_EQ(*a.result, text.substr(0, GetParam().stored));
  AgentAction b = AgentAction::create(AgentActionType::ToolCall, "t");
  b.set_result(text);
  EXPECT_EQ(b.result, a.result);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ResultCut,
    testing::Values(Cut{std::string(4096, 'a'), 4096}, Cut{std::string(4097, 'a'), 4096},
                    Cut{std::string(4095, 'a') + "\xC3\xA9" + std::string(903, 'b'), 4095},  // é over 4095-4096
                    Cut{std::string(4094, 'a') + "\xE2\x82\xAC" + "z", 4094},                // € over 4094-4096
                    Cut{std::string(4093, 'a') + "\xF0\x9F\x98\x80" + "z", 4093},            // 😀 over 4093-4096
                    Cut{std::string(4092, 'a') + "\xF0\x9F\x98\x80" + "z", 4096},            // ends at 4096
                    Cut{"", 0}));

}  // namespace
}  // namespace korvanta
