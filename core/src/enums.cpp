// Text forms of the enumerations.
#include "korvanta/enums.hpp"

#include <array>

namespace korvanta {
namespace {

constexpr std::array<std::string_view, 9> kProviderNames = {
    "OpenAI", "Anthropic",   "VLLm",    "SGLang", "TGI",
    "Ollama", "AzureOpenAI", "Bedrock", "Custom",
};
constexpr std::array<std::string_view, 5> kActionTypeNames = {
    "tool_call", "skill_invocation", "command_execution", "web_access", "file_access",
};
constexpr std::array<std::string_view, 5> kSeverityNames = {
    "Info", "Low", "Medium", "High", "Critical",
};
constexpr std::array<std::string_view, 5> kSeverityLabels = {
    "info", "low", "medium", "high", "critical",
};

}  // namespace

std::string_view LLMProvider::name() const noexcept {
  return kProviderNames[static_cast<std::size_t>(kind_)];
}

std::string_view to_string(AgentActionType type) noexcept {
  return kActionTypeNames[static_cast<std::size_t>(type)];
}

std::optional<AgentActionType> action_type_from_string(std::string_view text) noexcept {
  for (std::size_t i = 0; i < kActionTypeNames.size(); ++i) {
    if (text == kActionTypeNames[i]) return static_cast<AgentActionType>(i);
  }
  return std::nullopt;
}

std::string_view to_string(SecuritySeverity severity) noexcept {
  return kSeverityNames[static_cast<std::size_t>(severity)];
}

std::string_view label(SecuritySeverity severity) noexcept {
  return kSeverityLabels[static_cast<std::size_t>(severity)];
}

}  // namespace korvanta
