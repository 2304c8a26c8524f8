// Text forms of the enumerations.
#include "korvanta/enums.hpp"

#include <gtest/gtest.h>

namespace korvanta {
namespace {

TEST(LLMProvider, Names) {
  using K = LLMProvider::Kind;
  const std::pair<K, const char*> expected[] = {
      {K::OpenAI, "OpenAI"}, {K::Anthropic, "Anthropic"},     {K::VLLm, "VLLm"},
      {K::SGLang, "SGLang"}, {K::TGI, "TGI"},                 {K::Ollama, "Ollama"},
      {K::AzureOpenAI, "AzureOpenAI"}, {K::Bedrock, "Bedrock"}, {K::Custom, "Custom"},
  };
  for (const auto& [kind, name] : expected) EXPECT_EQ(LLMProvider(kind).name(), name);
}

TEST(LLMProvider, CustomCarriesAndCopiesItsName) {
  const LLMProvider original = LLMProvider::custom("my-gateway");
  LLMProvider copy = original;
  EXPECT_TRUE(copy.is_custom());
  EXPECT_EQ(copy.custom_name(), "my-gateway");
  EXPECT_EQ(copy, original);
  EXPECT_NE(copy, LLMProvider::custom("other"));
  EXPECT_EQ(LLMProvider(LLMProvider::Kind::TGI).custom_name(), "");
}

TEST(AgentActionType, Texts) {
  EXPECT_EQ(to_string(AgentActionType::ToolCall), "tool_call");
  EXPECT_EQ(to_string(AgentActionType::SkillInvocation), "skill_invocation");
  EXPECT_EQ(to_string(AgentActionType::CommandExecution), "command_execution");
  EXPECT_EQ(to_string(AgentActionType::WebAccess), "web_access");
  EXPECT_EQ(to_string(AgentActionType::FileAccess), "file_access");
}

TEST(AgentActionType, ParsedFromExactlyItsText) {
  for (auto type : {AgentActionType::ToolCall, AgentActionType::SkillInvocation, AgentActionType::CommandExecution,
                    AgentActionType::WebAccess, AgentActionType::FileAccess}) {
    EXPECT_EQ(action_type_from_string(to_string(type)), type);
  }
  for (const char* text : {"Tool_Call", " tool_call", "tool_call ", "", "toolcall"}) {
    EXPECT_FALSE(action_type_from_string(text).has_value()) << text;
  }
}

TEST(SecuritySeverity, JsonFormsAndLabels) {
  const std::tuple<SecuritySeverity, const char*, const char*> expected[] = {
      {SecuritySeverity::Info, "Info", "info"},
      {SecuritySeverity::Low, "Low", "low"},
      {SecuritySeverity::Medium, "Medium", "medium"},
      {SecuritySeverity::High, "High", "high"},
      {SecuritySeverity::Critical, "Critical", "critical"},
  };
  for (const auto& [severity, json, lower] : expected) {
    EXPECT_EQ(to_string(severity), json);
    EXPECT_EQ(label(severity), lower);
  }
}

}  // namespace
}  // namespace korvanta
