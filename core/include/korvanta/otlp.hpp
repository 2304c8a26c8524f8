// Span records as OTLP protobuf: the ExportTraceServiceRequest body that an
// OTLP/HTTP exporter posts, mapped to the OpenTelemetry GenAI conventions.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "korvanta/string_map.hpp"
#include "korvanta/trace_span.hpp"
#include "korvanta/uuid.hpp"

namespace korvanta {

// The free texts of a record, as a TextFilter is told which one it is given.
enum class OtlpText : std::uint8_t {
  Prompt,
  Response,
  ErrorMessage,
  TagValue,
  ActionName,  // tool, skill or command name, URL or file path
  ActionArguments,
  ActionResult,
  ActionMetadataValue,
  EventDescription,
  EventDataValue,
  FindingDescription,
  FindingLocation,
  FindingMetadataValue,
};

// Substitutes what an export must not carry (secrets, personal data): called
// once per free text of each record, before the text is encoded, and
// returns the text to encode in its place: `text` itself, a part of it, or
// the contents of `scratch`, a buffer kept by the encoder for the filter to
// write into (its earlier contents are left over from the previous call).
// The returned view is read before the filter is called again. Names, ids,
// numbers and the keys of maps are not free texts and are not filtered.
// Whatever the filter throws leaves encode_export_request unchanged.
//
//   TextFilter mask_digits = [](std::string_view text, OtlpText, std::string& scratch) {
//     scratch.assign(text);
//     std::ranges::replace_if(scratch, [](char c) { return c >= '0' && c <= '9'; }, '#');
//     return std::string_view(scratch);
//   };
using TextFilter = std::function<std::string_view(std::string_view text, OtlpText field, std::string& scratch)>;

// What every exported span shares, beside its tenant.
struct OtlpResource {
  // The resource attribute service.name.
  std::string service_name;
  // More resource attributes, string-valued, e.g. deployment.environment.
  // service.name and korvanta.tenant_id are set from the fields above and
  // the spans, and win over entries of the same key here.
  StringMap attributes;
};

// Appends one ExportTraceServiceRequest (opentelemetry-proto, collector/trace/v1)
// holding `spans` to `out`; nothing for no spans. Spans are grouped into one
// ResourceSpans per tenant (groups in the order of the tenant ids' bytes,
// spans within a group in the given order), each with one ScopeSpans of scope
// "korvanta" at library_version(). Every agent action becomes a child span of
// its span, encoded right after it.
//
// Identifiers: a trace id is its 16 bytes; a span's or action's 128-bit id
// becomes OTLP's 8 bytes by otlp_span_id(), for parent links too, and is kept
// whole in an attribute. Times: unix nanoseconds, clamped to 0 and to
// 2^64 - 1; a span not finished has end = start.
//
// The span: name "{operation} {model}" (the operation alone without a
// model), kind CLIENT (INTERNAL for a Custom provider with an empty name and
// no model), attributes
//   gen_ai.operation.name, gen_ai.provider.name (the conventions' well-known
//   values: openai, anthropic, azure.ai.openai, aws.bedrock; vllm, sglang,
//   tgi, ollama for the others; a Custom provider's own name),
//   gen_ai.request.model (when not empty), gen_ai.usage.input_tokens,
//   gen_ai.usage.output_tokens, gen_ai.response.time_to_first_chunk (double,
//   seconds), gen_ai.input.messages (a prompt that is already a JSON array of
//   objects with a string "role" as it is, any other non-empty prompt as one
//   user text message), gen_ai.output.messages (the response as one
//   assistant text message, finish_reason "stop"),
//   error.type and http.response.status_code (below), then korvanta.span_id,
//   korvanta.tenant_id, korvanta.provider (the enumeration's text form),
//   korvanta.duration_ms, korvanta.total_tokens, korvanta.time_to_first_token_ms,
//   korvanta.estimated_cost_usd (double), korvanta.security_score,
//   korvanta.status_code, each when present; then each tag as a string
//   attribute under its own key, except that a tag whose key one of the above
//   already set is left out, and that a canonical decimal integer under one of
//   the integer gen_ai names (the usage counts incl. cache_read.input_tokens,
//   cache_creation.input_tokens and reasoning.output_tokens, request.max_tokens,
//   request.seed, request.choice.count, embeddings.dimension.count) goes out as
//   an int. A failed span has status ERROR with the error message, and
//   error.type the message's leading "Name:" when Name looks like an exception
//   type (dotted identifiers, the last one capitalised), else "_OTHER";
//   otherwise the status is left UNSET, as the OpenTelemetry SDK does.
// Events: each SpanEvent under its event_type, with korvanta.event.id,
//   korvanta.event.description and its data entries under their own keys;
//   each finding as "korvanta.security_finding" at its detection time, with
//   korvanta.finding.{id,severity,type,description,confidence,location,
//   requires_alert} and korvanta.finding.metadata.<key>.
// Actions: kind INTERNAL, ending at the action's timestamp and starting
//   duration_ms earlier (zero length without a duration), status ERROR with
//   error.type "_OTHER" when not successful. A tool call is "execute_tool
//   {name}" with gen_ai.operation.name "execute_tool", gen_ai.tool.name,
//   gen_ai.tool.call.id (from the metadata key of that name),
//   gen_ai.tool.call.arguments and gen_ai.tool.call.result; another kind is
//   "{type} {name}" with the name under url.full (web access), file.path
//   (file access) or korvanta.action.name, and korvanta.action.arguments,
//   korvanta.action.result. All carry korvanta.action.id, korvanta.action.type
//   and, when present, korvanta.duration_ms, process.exit.code,
//   http.request.method, http.response.status_code,
//   korvanta.action.file_operation and korvanta.action.metadata.<key>.
//
// Attribute keys are unique and not empty, as OpenTelemetry requires: map
// entries with an empty key are left out, and so is an entry whose key is
// malformed UTF-8 and, repaired, equals another key of its list.
// Every string goes out as valid UTF-8: malformed bytes in any record text
// become U+FFFD. `filter`, when given, sees each free text first (OtlpText).
// Throws std::invalid_argument, with `out` unchanged, when a pointer in
// `spans` is null; on any exception (the filter's, std::bad_alloc) `out` is
// left as it was.
void encode_export_request(std::span<const TraceSpan* const> spans, const OtlpResource& resource,
                           std::string& out, const TextFilter* filter = nullptr);

// OTLP's 8-byte span id for a 128-bit span or action id: its first 8 bytes
// XOR its last 8, so a parent's id folds the same wherever it appears.
std::array<std::uint8_t, 8> otlp_span_id(const Uuid& id) noexcept;

}  // namespace korvanta
