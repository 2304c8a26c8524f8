// The enumerations of the trace records: which LLM service a span talks to,
// the kind of an agent action and the severity of a security finding, with
// their text forms.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "korvanta/out_of_line.hpp"

namespace korvanta {

// The LLM service of a span. Eight named services, or Custom carrying a
// name of its own (owned, copied with the provider).
class LLMProvider {
 public:
  enum class Kind : std::uint8_t {
    OpenAI,
    Anthropic,
    VLLm,
    SGLang,
    TGI,
    Ollama,
    AzureOpenAI,
    Bedrock,
    Custom,
  };

  constexpr LLMProvider(Kind kind = Kind::OpenAI) : kind_(kind) {}  // NOLINT: implicit on purpose
  static LLMProvider custom(std::string name) {
    LLMProvider p(Kind::Custom);
    p.custom_ = std::move(name);
    return p;
  }

  Kind kind() const noexcept { return kind_; }
  bool is_custom() const noexcept { return kind_ == Kind::Custom; }
  // The carried name of a Custom provider; empty for the others.
  const std::string& custom_name() const noexcept { return custom_ ? *custom_ : no_name(); }

  // "OpenAI", "Anthropic", "VLLm", "SGLang", "TGI", "Ollama", "AzureOpenAI",
  // "Bedrock"; "Custom" for a custom provider, whose JSON form is the object
  // {"Custom": name}.
  std::string_view name() const noexcept;

  // By kind and carried name (an absent name reads as the empty one).
  friend bool operator==(const LLMProvider& a, const LLMProvider& b) noexcept {
    return a.kind_ == b.kind_ && a.custom_name() == b.custom_name();
  }

 private:
  static const std::string& no_name() noexcept {
    static const std::string empty;
    return empty;
  }

  // Out of line: a custom provider is the rare one, and the name would
  // otherwise take 32 bytes of every span.
  OutOfLine<std::string> custom_;
  Kind kind_;
};

enum class AgentActionType : std::uint8_t {
  ToolCall,
  SkillInvocation,
  CommandExecution,
  WebAccess,
  FileAccess,
};

// "tool_call", "skill_invocation", "command_execution", "web_access",
// "file_access".
std::string_view to_string(AgentActionType type) noexcept;
// The action type whose text form is exactly `text` (byte for byte, nothing
// trimmed), or nullopt.
std::optional<AgentActionType> action_type_from_string(std::string_view text) noexcept;

// Ascending order of gravity.
enum class SecuritySeverity : std::uint8_t {
  Info,
  Low,
  Medium,
  High,
  Critical,
};

// The JSON form: "Info", "Low", "Medium", "High", "Critical".
std::string_view to_string(SecuritySeverity severity) noexcept;
// The lower-case label of the finding summaries: "info" ... "critical".
std::string_view label(SecuritySeverity severity) noexcept;

}  // namespace korvanta
