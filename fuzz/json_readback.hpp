// Checks of the JSON writer's output for the fuzz target: both layouts and
// the finding summaries, read back with an independent parser.
#pragma once

#include <string_view>

#include "korvanta/trace_span.hpp"

namespace korvanta::fuzz {

// Aborts with a message on the first problem: a text that is not strict
// JSON, layouts that differ beyond whitespace, an indentation off its
// level, a key out of order, or any value that does not read back exactly
// as `span` holds it.
void check_documents(const TraceSpan& span, std::string_view compact, std::string_view indented,
                     std::string_view summaries);

}  // namespace korvanta::fuzz
