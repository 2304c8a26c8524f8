// AgentAction creation and builders.
#include "korvanta/agent_action.hpp"

#include <utility>

namespace korvanta {

AgentAction AgentAction::create(AgentActionType type, std::string name) {
  AgentAction action;
  action.id = Uuid::new_v4();
  StringMap::prepare_seed();
  action.timestamp = Timestamp::now();
  action.action_type = type;
  action.name = std::move(name);
  return action;
}

AgentAction AgentAction::with_arguments(std::string text) && {
  set_arguments(std::move(text));
  return std::move(*this);
}

AgentAction AgentAction::with_result(std::string text) && {
  set_result(text);
  return std::move(*this);
}

// Copies only the prefix that is kept, not a long result whole.
void AgentAction::set_result(std::string_view text) {
  result.emplace(text.substr(0, utf8_prefix_length(text, kMaxResultBytes)));
}

std::size_t utf8_prefix_length(std::string_view text, std::size_t max) noexcept {
  if (text.size() <= max) return text.size();
  std::size_t cut = max;
  // Step back over continuation bytes (10xxxxxx) to the start of the
  // character that byte `max` belongs to.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

}  // namespace korvanta
