// The prompt and response of a span as GenAI chat messages: the JSON text of
// gen_ai.input.messages and gen_ai.output.messages.
#pragma once

#include <string_view>

#include "korvanta/json_writer.hpp"

namespace korvanta::otlp {

// Whether `text` is a JSON array of one or more objects that each have a
// member "role" (written without escapes) whose value is a string: a prompt
// the caller already gave as chat messages. Strict RFC 8259 syntax, nesting
// up to JsonWriter::kMaxDepth; any text is safe to give.
bool is_message_list(std::string_view text) noexcept;

// Writes [{"role":"user","parts":[{"type":"text","content":PROMPT}]}] to
// `out`, a fresh compact writer.
void write_user_message(JsonWriter& out, std::string_view prompt);

// Writes [{"role":"assistant","parts":[{"type":"text","content":RESPONSE}],
// "finish_reason":"stop"}] to `out`, a fresh compact writer.
void write_assistant_message(JsonWriter& out, std::string_view response);

}  // namespace korvanta::otlp
