// The mapping of span records onto OTLP trace messages: grouping by tenant,
// span and action spans, attributes, events and status.
#include "korvanta/otlp.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "korvanta/json_writer.hpp"
#include "korvanta/version.hpp"
#include "otlp_messages.hpp"
#include "otlp_utf8.hpp"
#include "otlp_wire.hpp"

namespace korvanta {
namespace {

using otlp::WireText;
using otlp::WireWriter;

// Field numbers of opentelemetry-proto: collector/trace/v1/trace_service.proto,
// trace/v1/trace.proto, resource/v1/resource.proto, common/v1/common.proto.
struct Request {
  static constexpr std::uint32_t kResourceSpans = 1;
};
struct ResourceSpans {
  static constexpr std::uint32_t kResource = 1;
  static constexpr std::uint32_t kScopeSpans = 2;
};
struct Resource {
  static constexpr std::uint32_t kAttributes = 1;
};
struct ScopeSpans {
  static constexpr std::uint32_t kScope = 1;
  static constexpr std::uint32_t kSpans = 2;
};
struct Scope {
  static constexpr std::uint32_t kName = 1;
  static constexpr std::uint32_t kVersion = 2;
};
struct Span {
  static constexpr std::uint32_t kTraceId = 1;
  static constexpr std::uint32_t kSpanId = 2;
  static constexpr std::uint32_t kParentSpanId = 4;
  static constexpr std::uint32_t kName = 5;
  static constexpr std::uint32_t kKind = 6;
  static constexpr std::uint32_t kStartTime = 7;
  static constexpr std::uint32_t kEndTime = 8;
  static constexpr std::uint32_t kAttributes = 9;
  static constexpr std::uint32_t kEvents = 11;
  static constexpr std::uint32_t kStatus = 15;
  static constexpr std::uint64_t kKindInternal = 1;
  static constexpr std::uint64_t kKindClient = 3;
};
struct Event {
  static constexpr std::uint32_t kTime = 1;
  static constexpr std::uint32_t kName = 2;
  static constexpr std::uint32_t kAttributes = 3;
};
struct Status {
  static constexpr std::uint32_t kMessage = 2;
  static constexpr std::uint32_t kCode = 3;
  static constexpr std::uint64_t kCodeError = 2;
};

// Length widths set aside for messages of unknown size, by what they
// usually hold: a span with its texts is past 127 bytes and under 16 KiB;
// events and the resource are short. A tenant's group takes the width of its
// estimated size.
constexpr std::size_t kSpanWidth = 2;
constexpr std::size_t kSmallWidth = 1;

std::size_t map_bytes(const StringMap& map, std::size_t per_entry) noexcept {
  std::size_t n = 0;
  for (const auto& entry : map) n += entry.key.size() + entry.value.size() + per_entry;
  return n;
}

// Roughly the bytes a span and its actions encode to: the texts, the fixed
// attributes, and a sixteenth more for JSON escapes. Reserving this once
// spares a growing request its copies and its fresh pages faulted in twice,
// which cost a 512-span batch more than the encoding did.
std::size_t estimated_size(const TraceSpan& s) noexcept {
  std::size_t n = 900 + 2 * (s.operation_name.size() + s.model_name.size()) + s.prompt.size() +
                  (s.response ? s.response->size() + 100 : 0) + (s.error_message ? 2 * s.error_message->size() : 0) +
                  map_bytes(s.tags, 8);
  for (const SpanEvent& e : s.events) n += 120 + e.event_type.size() + e.description.size() + map_bytes(e.data, 8);
  for (const SecurityFinding& f : s.security_findings) {
    n += 360 + f.finding_type.size() + f.description.size() + (f.location ? f.location->size() : 0) +
         map_bytes(f.metadata, 40);
  }
  for (const AgentAction& a : s.agent_actions) {
    n += 260 + 2 * a.name.size() + (a.arguments ? a.arguments->size() : 0) + (a.result ? a.result->size() : 0) +
         map_bytes(a.metadata, 40);
  }
  return n + n / 16;
}

constexpr std::uint64_t kMaxNanos = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

std::uint64_t unix_nanos(Timestamp t) noexcept {
  if (t.seconds < 0) return 0;
  const auto seconds = static_cast<std::uint64_t>(t.seconds);
  if (seconds > (kMaxNanos - t.nanos) / kNanosPerSecond) return kMaxNanos;
  return seconds * kNanosPerSecond + t.nanos;
}

std::uint64_t minus_millis(std::uint64_t nanos, std::uint64_t millis) noexcept {
  constexpr std::uint64_t kNanosPerMilli = 1'000'000;
  if (millis > nanos / kNanosPerMilli) return 0;
  return nanos - millis * kNanosPerMilli;
}

std::int64_t clamp_int64(std::uint64_t value) noexcept {
  return static_cast<std::int64_t>(std::min<std::uint64_t>(value, std::numeric_limits<std::int64_t>::max()));
}

std::string_view bytes_of(const std::uint8_t* data, std::size_t size) noexcept {
  return {reinterpret_cast<const char*>(data), size};
}

// The conventions' gen_ai.provider.name values; the services they list no
// value for go by their plain lower-case names.
std::string_view provider_name(const LLMProvider& provider) noexcept {
  switch (provider.kind()) {
    case LLMProvider::Kind::OpenAI: return "openai";
    case LLMProvider::Kind::Anthropic: return "anthropic";
    case LLMProvider::Kind::VLLm: return "vllm";
    case LLMProvider::Kind::SGLang: return "sglang";
    case LLMProvider::Kind::TGI: return "tgi";
    case LLMProvider::Kind::Ollama: return "ollama";
    case LLMProvider::Kind::AzureOpenAI: return "azure.ai.openai";
    case LLMProvider::Kind::Bedrock: return "aws.bedrock";
    case LLMProvider::Kind::Custom: return provider.custom_name();
  }
  return {};
}

bool has_provider(const LLMProvider& provider) noexcept {
  return !provider.is_custom() || !provider.custom_name().empty();
}

bool is_identifier(std::string_view word) noexcept {
  const auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (word.empty() || !alpha(word.front())) return false;
  return std::all_of(word.begin(), word.end(), [&](char c) { return alpha(c) || digit(c); });
}

// "RateLimitError: ..." and "openai.APITimeoutError: ..." name their
// exception type; "https://..." or "retry: ..." do not.
std::string_view error_type(std::string_view message) noexcept {
  constexpr std::size_t kMaxTypeName = 128;
  constexpr std::string_view kOther = "_OTHER";
  const std::size_t colon = message.find(':');
  if (colon == std::string_view::npos || colon > kMaxTypeName) return kOther;
  const std::string_view name = message.substr(0, colon);
  std::string_view rest = name;
  std::string_view last;
  while (true) {
    const std::size_t dot = rest.find('.');
    last = rest.substr(0, dot);
    if (!is_identifier(last)) return kOther;
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  return last.front() >= 'A' && last.front() <= 'Z' ? name : kOther;
}

// gen_ai names whose values the conventions type as int, so a tag under one
// of them that reads as an integer goes out as one.
constexpr std::array<std::string_view, 9> kIntegerTags = {
    "gen_ai.embeddings.dimension.count",
    "gen_ai.request.choice.count",
    "gen_ai.request.max_tokens",
    "gen_ai.request.seed",
    "gen_ai.usage.cache_creation.input_tokens",
    "gen_ai.usage.cache_read.input_tokens",
    "gen_ai.usage.input_tokens",
    "gen_ai.usage.output_tokens",
    "gen_ai.usage.reasoning.output_tokens",
};

// The value of a decimal integer written the one way it prints ("-12",
// not "+12", "012" or "-0"), so the text is recoverable from the int.
std::optional<std::int64_t> canonical_int(std::string_view text) noexcept {
  const std::string_view digits = text.starts_with('-') ? text.substr(1) : text;
  if (digits.empty() || (digits.front() == '0' && (digits.size() > 1 || digits.size() != text.size()))) {
    return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

class Encoder {
 public:
  Encoder(std::string& out, const TextFilter* filter) : w_(out), filter_(filter) {}

  // `size`: the estimated size of the spans.
  void group(std::span<const TraceSpan* const> spans, const OtlpResource& resource, std::size_t size) {
    const TenantId& tenant = spans.front()->tenant_id;
    const std::size_t width = otlp::varint_size(size + 256);
    const auto group = w_.begin(Request::kResourceSpans, width);
    const auto res = w_.begin(ResourceSpans::kResource, kSmallWidth);
    w_.string_attribute(Resource::kAttributes, WireText::valid("service.name"), WireText::of(resource.service_name));
    write_uuid_attribute(Resource::kAttributes, "korvanta.tenant_id", tenant.uuid);
    constexpr std::string_view kResourceKeys[] = {"service.name", "korvanta.tenant_id"};
    repaired_keys_.clear();
    for (const auto& entry : resource.attributes) {
      if (const auto key = map_key(resource.attributes, entry.key, kResourceKeys)) {
        w_.string_attribute(Resource::kAttributes, *key, WireText::of(entry.value));
      }
    }
    w_.end(res);
    const auto scope_spans = w_.begin(ResourceSpans::kScopeSpans, width);
    const auto scope = w_.begin(ScopeSpans::kScope, kSmallWidth);
    w_.string(Scope::kName, WireText::valid("korvanta"));
    w_.string(Scope::kVersion, WireText::valid(library_version()));
    w_.end(scope);
    for (const TraceSpan* span : spans) {
      write_span(*span);
      for (const AgentAction& action : span->agent_actions) write_action(*span, action);
    }
    w_.end(scope_spans);
    w_.end(group);
  }

 private:
  std::string_view filtered(std::string_view text, OtlpText field) {
    return filter_ != nullptr ? (*filter_)(text, field, scratch_) : text;
  }

  // Span attributes. The keys are recorded, so that tags cannot repeat one.
  void attr(std::string_view key, std::string_view value) {
    keys_.push_back(key);
    w_.string_attribute(Span::kAttributes, WireText::valid(key), WireText::of(value));
  }
  void attr(std::string_view key, std::int64_t value) {
    keys_.push_back(key);
    w_.int_attribute(Span::kAttributes, WireText::valid(key), value);
  }
  void attr(std::string_view key, double value) {
    keys_.push_back(key);
    w_.double_attribute(Span::kAttributes, WireText::valid(key), value);
  }
  void write_uuid_attribute(std::uint32_t field, std::string_view key, const Uuid& id) {
    char text[Uuid::kTextSize];
    id.write_text(text);
    keys_.push_back(key);
    w_.string_attribute(field, WireText::valid(key), WireText::valid({text, sizeof text}));
  }
  // The key of a map entry as its attribute list gets it, or nullopt when
  // the entry is left out: an empty key, one of `taken` (keys the list has
  // from elsewhere), or a malformed key whose repaired form the list has
  // already or will have (U+FFFD makes distinct keys equal). Clear
  // repaired_keys_ before each list.
  std::optional<WireText> map_key(const StringMap& map, std::string_view key,
                                  std::span<const std::string_view> taken) {
    const auto is_taken = [&](std::string_view k) { return std::find(taken.begin(), taken.end(), k) != taken.end(); };
    if (key.empty() || is_taken(key)) return std::nullopt;
    const WireText text = WireText::of(key);
    if (text.size == key.size()) return text;
    std::string repaired(text.size, '\0');
    otlp::write_utf8_repaired(repaired.data(), key);
    if (map.find(repaired) != nullptr || is_taken(repaired) ||
        std::find(repaired_keys_.begin(), repaired_keys_.end(), repaired) != repaired_keys_.end()) {
      return std::nullopt;
    }
    repaired_keys_.push_back(std::move(repaired));
    return text;
  }

  // Map entries under "<prefix><key>", each value filtered as `field`.
  void write_map(std::uint32_t attributes, std::string_view prefix, const StringMap& map, OtlpText field,
                 std::string_view skip = {}) {
    repaired_keys_.clear();
    const std::string_view taken[] = {skip};
    for (const auto& entry : map) {
      if (!map_key(map, entry.key, {taken, skip.empty() ? 0u : 1u})) continue;
      prefixed_.assign(prefix).append(entry.key);
      w_.string_attribute(attributes, WireText::of(prefixed_), WireText::of(filtered(entry.value, field)));
    }
  }

  void write_ids(const Uuid& trace, const Uuid& id, const Uuid* parent) {
    w_.bytes(Span::kTraceId, bytes_of(trace.bytes.data(), trace.bytes.size()));
    const auto folded = otlp_span_id(id);
    w_.bytes(Span::kSpanId, bytes_of(folded.data(), folded.size()));
    if (parent != nullptr) {
      const auto parent_folded = otlp_span_id(*parent);
      w_.bytes(Span::kParentSpanId, bytes_of(parent_folded.data(), parent_folded.size()));
    }
  }

  void write_error_status(std::string_view message) {
    const auto status = w_.begin(Span::kStatus, kSmallWidth);
    if (!message.empty()) w_.string(Status::kMessage, message);
    w_.varint(Status::kCode, Status::kCodeError);
    w_.end(status);
  }

  void write_messages(const TraceSpan& s) {
    const std::string_view prompt = filtered(s.prompt, OtlpText::Prompt);
    if (!prompt.empty()) {
      if (otlp::is_message_list(prompt)) {
        attr("gen_ai.input.messages", prompt);
      } else {
        JsonWriter json(JsonLayout::Compact, prompt.size() + 96);
        otlp::write_user_message(json, prompt);
        attr("gen_ai.input.messages", json.view());
      }
    }
    if (s.response) {
      const std::string_view response = filtered(*s.response, OtlpText::Response);
      JsonWriter json(JsonLayout::Compact, response.size() + 128);
      otlp::write_assistant_message(json, response);
      attr("gen_ai.output.messages", json.view());
    }
  }

  void write_tags(const StringMap& tags) {
    repaired_keys_.clear();
    for (const auto& tag : tags) {
      const auto key_text = map_key(tags, tag.key, keys_);
      if (!key_text) continue;
      const WireText key = *key_text;
      const std::string_view value = filtered(tag.value, OtlpText::TagValue);
      const bool int_key = std::find(kIntegerTags.begin(), kIntegerTags.end(), tag.key) != kIntegerTags.end();
      if (const auto number = int_key ? canonical_int(value) : std::nullopt) {
        w_.int_attribute(Span::kAttributes, key, *number);
      } else {
        w_.string_attribute(Span::kAttributes, key, WireText::of(value));
      }
    }
  }

  void write_event(const SpanEvent& e) {
    const auto event = w_.begin(Span::kEvents, kSmallWidth);
    w_.fixed64(Event::kTime, unix_nanos(e.timestamp));
    w_.string(Event::kName, e.event_type);
    write_uuid_attribute(Event::kAttributes, "korvanta.event.id", e.id);
    w_.string_attribute(Event::kAttributes, WireText::valid("korvanta.event.description"),
                        WireText::of(filtered(e.description, OtlpText::EventDescription)));
    constexpr std::string_view kEventKeys[] = {"korvanta.event.id", "korvanta.event.description"};
    repaired_keys_.clear();
    for (const auto& entry : e.data) {
      if (const auto key = map_key(e.data, entry.key, kEventKeys)) {
        w_.string_attribute(Event::kAttributes, *key, WireText::of(filtered(entry.value, OtlpText::EventDataValue)));
      }
    }
    w_.end(event);
  }

  void write_finding(const SecurityFinding& f) {
    const auto event = w_.begin(Span::kEvents, kSpanWidth);
    w_.fixed64(Event::kTime, unix_nanos(f.detected_at));
    w_.string(Event::kName, WireText::valid("korvanta.security_finding"));
    constexpr std::uint32_t kAttrs = Event::kAttributes;
    write_uuid_attribute(kAttrs, "korvanta.finding.id", f.id);
    w_.string_attribute(kAttrs, WireText::valid("korvanta.finding.severity"), WireText::valid(label(f.severity)));
    w_.string_attribute(kAttrs, WireText::valid("korvanta.finding.type"), WireText::of(f.finding_type));
    w_.string_attribute(kAttrs, WireText::valid("korvanta.finding.description"),
                        WireText::of(filtered(f.description, OtlpText::FindingDescription)));
    w_.double_attribute(kAttrs, WireText::valid("korvanta.finding.confidence"), f.confidence_score);
    if (f.location) {
      w_.string_attribute(kAttrs, WireText::valid("korvanta.finding.location"),
                          WireText::of(filtered(*f.location, OtlpText::FindingLocation)));
    }
    w_.bool_attribute(kAttrs, WireText::valid("korvanta.finding.requires_alert"), f.requires_alert);
    write_map(kAttrs, "korvanta.finding.metadata.", f.metadata, OtlpText::FindingMetadataValue);
    w_.end(event);
  }

  void write_span(const TraceSpan& s) {
    keys_.clear();
    const auto span = w_.begin(ScopeSpans::kSpans, kSpanWidth);
    write_ids(s.trace_id, s.span_id, s.parent_span_id ? &*s.parent_span_id : nullptr);
    name_.assign(s.operation_name);
    if (!s.model_name.empty()) {
      if (!name_.empty()) name_ += ' ';
      name_ += s.model_name;
    }
    w_.string(Span::kName, name_);
    const bool llm_call = has_provider(s.provider) || !s.model_name.empty();
    w_.varint(Span::kKind, llm_call ? Span::kKindClient : Span::kKindInternal);
    const std::uint64_t start = unix_nanos(s.start_time);
    w_.fixed64(Span::kStartTime, start);
    w_.fixed64(Span::kEndTime, s.end_time ? unix_nanos(*s.end_time) : start);

    attr("gen_ai.operation.name", s.operation_name);
    if (has_provider(s.provider)) attr("gen_ai.provider.name", provider_name(s.provider));
    if (!s.model_name.empty()) attr("gen_ai.request.model", s.model_name);
    if (s.prompt_tokens) attr("gen_ai.usage.input_tokens", std::int64_t{*s.prompt_tokens});
    if (s.completion_tokens) attr("gen_ai.usage.output_tokens", std::int64_t{*s.completion_tokens});
    if (s.time_to_first_token_ms) {
      attr("gen_ai.response.time_to_first_chunk", static_cast<double>(*s.time_to_first_token_ms) / 1000.0);
    }
    write_messages(s);
    std::string_view error;
    if (s.error_message) {
      // Kept in name_ (the span name is written): the filter's next call may
      // reuse the buffer the view points into.
      name_.assign(filtered(*s.error_message, OtlpText::ErrorMessage));
      error = name_;
      attr("error.type", error_type(error));
    }
    if (s.status_code) attr("http.response.status_code", std::int64_t{*s.status_code});

    write_uuid_attribute(Span::kAttributes, "korvanta.span_id", s.span_id);
    write_uuid_attribute(Span::kAttributes, "korvanta.tenant_id", s.tenant_id.uuid);
    attr("korvanta.provider", s.provider.name());
    if (s.duration_ms) attr("korvanta.duration_ms", clamp_int64(*s.duration_ms));
    if (s.total_tokens) attr("korvanta.total_tokens", clamp_int64(*s.total_tokens));
    if (s.time_to_first_token_ms) attr("korvanta.time_to_first_token_ms", clamp_int64(*s.time_to_first_token_ms));
    if (s.estimated_cost_usd) attr("korvanta.estimated_cost_usd", *s.estimated_cost_usd);
    if (s.security_score) attr("korvanta.security_score", std::int64_t{*s.security_score});
    if (s.status_code) attr("korvanta.status_code", std::int64_t{*s.status_code});
    write_tags(s.tags);

    for (const SpanEvent& e : s.events) write_event(e);
    for (const SecurityFinding& f : s.security_findings) write_finding(f);
    if (s.error_message) write_error_status(error);
    w_.end(span);
  }

  void write_action(const TraceSpan& parent, const AgentAction& a) {
    const bool tool = a.action_type == AgentActionType::ToolCall;
    const auto span = w_.begin(ScopeSpans::kSpans, kSpanWidth);
    write_ids(parent.trace_id, a.id, &parent.span_id);
    const std::string_view name = filtered(a.name, OtlpText::ActionName);
    name_.assign(tool ? std::string_view("execute_tool") : to_string(a.action_type));
    if (!name.empty()) name_.append(1, ' ').append(name);
    // The name alone, for its attribute: the span name less its prefix.
    const std::string_view plain_name = std::string_view(name_).substr(name_.size() - name.size());
    w_.string(Span::kName, name_);
    w_.varint(Span::kKind, Span::kKindInternal);
    const std::uint64_t end = unix_nanos(a.timestamp);
    w_.fixed64(Span::kStartTime, a.duration_ms ? minus_millis(end, *a.duration_ms) : end);
    w_.fixed64(Span::kEndTime, end);

    const auto text_attr = [&](std::string_view key, std::string_view value) {
      w_.string_attribute(Span::kAttributes, WireText::valid(key), WireText::of(value));
    };
    const auto int_attr = [&](std::string_view key, std::int64_t value) {
      w_.int_attribute(Span::kAttributes, WireText::valid(key), value);
    };
    write_uuid_attribute(Span::kAttributes, "korvanta.action.id", a.id);
    text_attr("korvanta.action.type", to_string(a.action_type));
    constexpr std::string_view kToolCallId = "gen_ai.tool.call.id";
    if (tool) {
      text_attr("gen_ai.operation.name", "execute_tool");
      text_attr("gen_ai.tool.name", plain_name);
      if (const ShortText* id = a.metadata.find(kToolCallId)) {
        text_attr(kToolCallId, filtered(*id, OtlpText::ActionMetadataValue));
      }
    } else {
      text_attr(a.action_type == AgentActionType::WebAccess    ? "url.full"
                : a.action_type == AgentActionType::FileAccess ? "file.path"
                                                               : "korvanta.action.name",
                plain_name);
    }
    if (a.arguments) {
      text_attr(tool ? "gen_ai.tool.call.arguments" : "korvanta.action.arguments",
                filtered(*a.arguments, OtlpText::ActionArguments));
    }
    if (a.result) {
      text_attr(tool ? "gen_ai.tool.call.result" : "korvanta.action.result",
                filtered(*a.result, OtlpText::ActionResult));
    }
    if (a.duration_ms) int_attr("korvanta.duration_ms", clamp_int64(*a.duration_ms));
    if (a.exit_code) int_attr("process.exit.code", *a.exit_code);
    if (a.http_method) text_attr("http.request.method", *a.http_method);
    if (a.http_status) int_attr("http.response.status_code", *a.http_status);
    if (a.file_operation) text_attr("korvanta.action.file_operation", *a.file_operation);
    write_map(Span::kAttributes, "korvanta.action.metadata.", a.metadata, OtlpText::ActionMetadataValue,
              tool ? kToolCallId : std::string_view());
    if (!a.success) {
      text_attr("error.type", "_OTHER");
      write_error_status({});
    }
    w_.end(span);
  }

  WireWriter w_;
  const TextFilter* filter_;
  std::string scratch_;   // the filter's
  std::string name_;      // span names, then a span's filtered error message
  std::string prefixed_;  // map keys under a prefix
  std::vector<std::string_view> keys_;          // set on the current span
  std::vector<std::string> repaired_keys_;     // malformed keys of the current list, repaired
};

}  // namespace

std::array<std::uint8_t, 8> otlp_span_id(const Uuid& id) noexcept {
  std::array<std::uint8_t, 8> folded;
  for (std::size_t i = 0; i < folded.size(); ++i) {
    folded[i] = static_cast<std::uint8_t>(id.bytes[i] ^ id.bytes[i + 8]);
  }
  return folded;
}

void encode_export_request(std::span<const TraceSpan* const> spans, const OtlpResource& resource,
                           std::string& out, const TextFilter* filter) {
  for (std::size_t i = 0; i < spans.size(); ++i) {
    if (spans[i] == nullptr) {
      throw std::invalid_argument("encode_export_request: spans[" + std::to_string(i) + "] is null");
    }
  }
  // One ResourceSpans per tenant: a stable sort brings each tenant's spans
  // together in their given order, in O(n log n) however many tenants.
  std::vector<const TraceSpan*> sorted(spans.begin(), spans.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](const TraceSpan* a, const TraceSpan* b) {
    return a->tenant_id.uuid.bytes < b->tenant_id.uuid.bytes;
  });
  std::vector<std::size_t> sizes;
  sizes.reserve(sorted.size());
  std::size_t total = 0;
  for (const TraceSpan* s : sorted) total += sizes.emplace_back(estimated_size(*s));
  const std::size_t size_before = out.size();
  try {
    out.reserve(size_before + total + 1024);
    Encoder encoder(out, filter);
    for (std::size_t first = 0; first < sorted.size();) {
      std::size_t last = first;
      std::size_t group_size = 0;
      for (; last < sorted.size() && sorted[last]->tenant_id == sorted[first]->tenant_id; ++last) {
        group_size += sizes[last];
      }
      encoder.group({sorted.data() + first, last - first}, resource, group_size);
      first = last;
    }
  } catch (...) {
    out.resize(size_before);
    throw;
  }
}

}  // namespace korvanta
