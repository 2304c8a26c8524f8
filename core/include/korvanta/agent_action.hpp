// AgentAction: one thing an LLM agent did during a traced call (a tool call,
// a skill, a command, a web or file access), and its builder operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "korvanta/enums.hpp"
#include "korvanta/out_of_line.hpp"
#include "korvanta/string_map.hpp"
#include "korvanta/timestamp.hpp"
#include "korvanta/uuid.hpp"

namespace korvanta {

struct AgentAction {
  // Longest stored result, in UTF-8 bytes.
  static constexpr std::size_t kMaxResultBytes = 4096;

  // Ordered for packing, not as in the JSON document; the fields an action
  // of one kind only (a command, a web or file access) has are out of line.
  Uuid id;
  Timestamp timestamp;
  std::string name;  // tool, skill or command name, URL or file path
  std::optional<std::string> arguments;
  std::optional<std::string> result;  // at most kMaxResultBytes
  std::optional<std::uint64_t> duration_ms;
  OutOfLine<std::string> http_method;
  OutOfLine<std::string> file_operation;
  StringMap metadata;
  std::optional<std::int32_t> exit_code;
  std::optional<std::uint16_t> http_status;
  AgentActionType action_type = AgentActionType::ToolCall;
  bool success = true;

  // A fresh id (one random-source request), then the current time; success
  // true, every optional field absent, metadata empty. Throws korvanta::Fault
  // when the random source or the clock fails.
  static AgentAction create(AgentActionType type, std::string name);

  // Sets `arguments`, whole, replacing any earlier value.
  AgentAction with_arguments(std::string text) &&;
  // Sets `result`, replacing any earlier value, cut to its longest prefix of
  // at most kMaxResultBytes that ends on a character boundary (no marker).
  AgentAction with_result(std::string text) &&;

  // The same two in place, for callers that hold the action.
  void set_arguments(std::string text) { arguments = std::move(text); }
  void set_result(std::string_view text);
};

// Length of the longest prefix of `text` (UTF-8) of at most `max` bytes that
// does not split a character.
std::size_t utf8_prefix_length(std::string_view text, std::size_t max) noexcept;

}  // namespace korvanta
