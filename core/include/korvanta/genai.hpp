// The GenAI semantic conventions' message shapes, written as JSON: what a
// traced LLM call records as its prompt (gen_ai.input.messages).
#pragma once

#include <string_view>

#include "korvanta/json_writer.hpp"

namespace korvanta {

// One message of a role and plain text, as the next value of `out`:
// {"role":<role>,"parts":[{"type":"text","content":<content>}]}, with
// "finish_reason" after the parts when one is given.
void write_text_message(JsonWriter& out, std::string_view role, std::string_view content,
                        std::string_view finish_reason = {});

}  // namespace korvanta
