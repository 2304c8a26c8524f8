// The JSON document of a span and the finding summaries.
#pragma once

#include <string>
#include <vector>

#include "korvanta/json_writer.hpp"
#include "korvanta/security_finding.hpp"
#include "korvanta/trace_span.hpp"

namespace korvanta {

// Writes the span as one object with its 24 keys in field order; every
// absent value is null. Maps in their iteration order, lists in list order.
void write_span(JsonWriter& out, const TraceSpan& span);

// Writes the summaries of `findings` as one array, each an object with the
// keys "confidence_score", "description", "finding_type", "id", "location",
// "requires_alert", "severity" (lower-case label), in that byte order.
void write_finding_summaries(JsonWriter& out, const std::vector<SecurityFinding>& findings);

// Convenience: the span document as a string.
std::string span_to_json(const TraceSpan& span, JsonLayout layout);

}  // namespace korvanta
