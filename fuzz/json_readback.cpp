// Reading the writer's output back with an independent strict parser
// (nlohmann::json) and comparing every value with the record it came from.
// Kept apart from the fuzz target so that the parser's own branches do not
// feed libFuzzer's coverage: only the writer's inputs should steer it.
#include "json_readback.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace korvanta::fuzz {
namespace {

using Json = nlohmann::ordered_json;

[[noreturn]] void fail(std::string_view where, std::string_view what = {}, std::string_view detail = {}) {
  std::fprintf(stderr, "json_writer_fuzzer: %.*s%.*s%.*s\n", static_cast<int>(where.size()), where.data(),
               static_cast<int>(what.size()), what.data(), static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// The message is only put together when the check fails.
void require(bool condition, std::string_view where, std::string_view what = {}, std::string_view detail = {}) {
  if (!condition) fail(where, what, detail);
}

Json parse(std::string_view text, const char* which) {
  try {
    return Json::parse(text);
  } catch (const Json::parse_error& e) {
    fail(which, std::string(" is not valid JSON: ") + e.what() + "\n", text);
  }
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil: the inverse of the writer's conversion, written apart).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::optional<std::uint64_t> digits(std::string_view s, std::size_t pos, std::size_t n) {
  if (pos + n > s.size()) return std::nullopt;
  std::uint64_t v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(s[i] - '0');
  }
  return v;
}

// Parses the RFC 3339 form the writer uses and checks it names `ts`.
void check_timestamp(const Json& value, const Timestamp& ts, const std::string& where) {
  require(value.is_string(), where, ": timestamp is not a string");
  const std::string& s = value.get_ref<const std::string&>();
  std::size_t pos = 0;
  bool negative = false;
  std::size_t year_digits = 4;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    pos = 1;
    year_digits = s.find('-', 1) - 1;
    require(year_digits >= 4 && year_digits <= 12, where, ": bad year in ", s);
  }
  const auto year = digits(s, pos, year_digits);
  pos += year_digits;
  require(year.has_value() && s.size() >= pos + 15, where, ": bad timestamp ", s);
  require(s[pos] == '-' && s[pos + 3] == '-' && s[pos + 6] == 'T' && s[pos + 9] == ':' && s[pos + 12] == ':',
          where, ": bad timestamp separators ", s);
  const auto month = digits(s, pos + 1, 2), day = digits(s, pos + 4, 2);
  const auto hour = digits(s, pos + 7, 2), minute = digits(s, pos + 10, 2), second = digits(s, pos + 13, 2);
  require(month && day && hour && minute && second && *month >= 1 && *month <= 12 && *day >= 1 && *day <= 31 &&
              *hour < 24 && *minute < 60 && *second < 60,
          where, ": timestamp field out of range ", s);
  pos += 15;
  std::uint64_t nanos = 0;
  if (s[pos] == '.') {
    const std::size_t width = s.size() - pos - 2;
    require(width == 3 || width == 6 || width == 9, where, ": fraction width ", s);
    const auto fraction = digits(s, pos + 1, width);
    require(fraction.has_value(), where, ": bad fraction ", s);
    nanos = *fraction * (width == 3 ? 1'000'000 : width == 6 ? 1'000 : 1);
    // The shortest of the three widths is used.
    require(width == 3 || (width == 6 ? nanos % 1'000'000 != 0 : nanos % 1'000 != 0),
            where, ": fraction not in its shortest width ", s);
    pos += 1 + width;
  }
  require(pos + 1 == s.size() && s[pos] == 'Z', where, ": timestamp does not end in Z ", s);
  const std::int64_t y = negative ? -static_cast<std::int64_t>(*year) : static_cast<std::int64_t>(*year);
  require(!(year_digits == 4 && (s[0] == '+' || s[0] == '-') && y >= 0 && y <= 9999),
          where, ": signed year inside 0..9999 ", s);
  // Compared as a day and a second of the day: seconds * 86400 could
  // overflow at the far ends of the range.
  std::int64_t expected_day = ts.seconds / 86400;
  std::int64_t second_of_day = ts.seconds % 86400;
  if (second_of_day < 0) {
    second_of_day += 86400;
    expected_day -= 1;
  }
  require(days_from_civil(y, static_cast<unsigned>(*month), static_cast<unsigned>(*day)) == expected_day &&
              static_cast<std::int64_t>(*hour * 3600 + *minute * 60 + *second) == second_of_day && nanos == ts.nanos,
          where, ": timestamp reads back as another instant ", s);
}

void check_uuid(const Json& value, const Uuid& id, const std::string& where) {
  require(value.is_string(), where, ": identifier is not a string");
  const auto parsed = Uuid::parse_str(value.get_ref<const std::string&>());
  require(value.get_ref<const std::string&>().size() == 36 && parsed && *parsed == id,
          where, ": identifier reads back as another value");
}

void check_text(const Json& value, const std::string& text, const std::string& where) {
  require(value.is_string() && value.get_ref<const std::string&>() == text, where, ": string does not read back");
}

void check_text(const Json& value, const std::optional<std::string>& text, const std::string& where) {
  if (!text) return require(value.is_null(), where, ": absent text is not null");
  check_text(value, *text, where);
}

template <class T>
void check_int(const Json& value, T expected, const std::string& where) {
  if constexpr (std::is_signed_v<T>) {
    require(value.is_number_integer() && value.get<std::int64_t>() == expected, where, ": integer does not read back");
  } else {
    require(value.is_number_unsigned() && value.get<std::uint64_t>() == expected,
            where, ": integer does not read back");
  }
}

template <class T>
void check_int(const Json& value, const std::optional<T>& expected, const std::string& where) {
  if (!expected) return require(value.is_null(), where, ": absent integer is not null");
  check_int(value, *expected, where);
}

void check_double(const Json& value, double expected, const std::string& where) {
  if (!std::isfinite(expected)) return require(value.is_null(), where, ": non-finite number is not null");
  // Always written with a fraction or an exponent, so never read as integer.
  if (!value.is_number_float()) fail(where, ": float written as ", value.dump());
  const double got = value.get<double>();
  if (std::bit_cast<std::uint64_t>(got) != std::bit_cast<std::uint64_t>(expected)) {
    fail(where, ": float does not read back bit for bit: ", value.dump());
  }
}

template <std::size_t N>
void check_keys(const Json& object, const std::array<std::string_view, N>& keys, const std::string& where) {
  require(object.is_object() && object.size() == N, where, ": wrong member count");
  std::size_t i = 0;
  for (const auto& [key, value] : object.items()) {
    if (key != keys[i]) fail(where, ": key " + std::string(keys[i]) + " expected, found ", key);
    ++i;
  }
}

void check_map(const Json& object, const StringMap& map, const std::string& where) {
  // A repeated key would shrink the parsed object, so equal sizes also prove
  // the keys unique.
  require(object.is_object() && object.size() == map.size(), where, ": map member count");
  auto it = object.begin();
  for (const auto& entry : map) {
    require(it.key() == entry.key, where, ": map key does not read back in order");
    check_text(it.value(), std::string(entry.value), where + "." + entry.key);
    ++it;
  }
}

constexpr std::array<std::string_view, 24> kSpanKeys = {
    "trace_id",      "span_id",           "parent_span_id",   "tenant_id",         "operation_name",
    "start_time",    "end_time",          "provider",         "model_name",        "prompt",
    "response",      "prompt_tokens",     "completion_tokens", "total_tokens",     "time_to_first_token_ms",
    "duration_ms",   "status_code",       "error_message",    "estimated_cost_usd", "security_score",
    "security_findings", "tags",          "events",           "agent_actions"};
constexpr std::array<std::string_view, 13> kActionKeys = {
    "id", "action_type", "name", "arguments", "result", "duration_ms", "success", "exit_code",
    "http_method", "http_status", "file_operation", "timestamp", "metadata"};
constexpr std::array<std::string_view, 9> kFindingKeys = {
    "id", "severity", "finding_type", "description", "detected_at", "confidence_score", "location", "metadata",
    "requires_alert"};
constexpr std::array<std::string_view, 5> kEventKeys = {"id", "timestamp", "event_type", "description", "data"};
constexpr std::array<std::string_view, 7> kSummaryKeys = {
    "confidence_score", "description", "finding_type", "id", "location", "requires_alert", "severity"};
constexpr std::array<std::string_view, 5> kSeverity = {"Info", "Low", "Medium", "High", "Critical"};
constexpr std::array<std::string_view, 5> kSeverityLabel = {"info", "low", "medium", "high", "critical"};
constexpr std::array<std::string_view, 5> kActionType = {"tool_call", "skill_invocation", "command_execution",
                                                          "web_access", "file_access"};
constexpr std::array<std::string_view, 8> kProvider = {"OpenAI", "Anthropic", "VLLm", "SGLang",
                                                        "TGI", "Ollama", "AzureOpenAI", "Bedrock"};

void check_span(const Json& doc, const TraceSpan& s) {
  check_keys(doc, kSpanKeys, "span");
  check_uuid(doc["trace_id"], s.trace_id, "trace_id");
  check_uuid(doc["span_id"], s.span_id, "span_id");
  if (s.parent_span_id) {
    check_uuid(doc["parent_span_id"], *s.parent_span_id, "parent_span_id");
  } else {
    require(doc["parent_span_id"].is_null(), "parent_span_id not null");
  }
  check_uuid(doc["tenant_id"], s.tenant_id.uuid, "tenant_id");
  check_text(doc["operation_name"], s.operation_name, "operation_name");
  check_timestamp(doc["start_time"], s.start_time, "start_time");
  if (s.end_time) {
    check_timestamp(doc["end_time"], *s.end_time, "end_time");
  } else {
    require(doc["end_time"].is_null(), "end_time not null");
  }
  const Json& provider = doc["provider"];
  if (s.provider.is_custom()) {
    require(provider.is_object() && provider.size() == 1 && provider.contains("Custom"), "custom provider form");
    check_text(provider["Custom"], s.provider.custom_name(), "provider.Custom");
  } else {
    check_text(provider, std::string(kProvider[static_cast<std::size_t>(s.provider.kind())]), "provider");
  }
  check_text(doc["model_name"], s.model_name, "model_name");
  check_text(doc["prompt"], s.prompt, "prompt");
  check_text(doc["response"], s.response, "response");
  check_int(doc["prompt_tokens"], s.prompt_tokens, "prompt_tokens");
  check_int(doc["completion_tokens"], s.completion_tokens, "completion_tokens");
  check_int(doc["total_tokens"], s.total_tokens, "total_tokens");
  check_int(doc["time_to_first_token_ms"], s.time_to_first_token_ms, "time_to_first_token_ms");
  check_int(doc["duration_ms"], s.duration_ms, "duration_ms");
  check_int(doc["status_code"], s.status_code, "status_code");
  check_text(doc["error_message"], s.error_message, "error_message");
  if (s.estimated_cost_usd) {
    check_double(doc["estimated_cost_usd"], *s.estimated_cost_usd, "estimated_cost_usd");
  } else {
    require(doc["estimated_cost_usd"].is_null(), "estimated_cost_usd not null");
  }
  check_int(doc["security_score"], s.security_score, "security_score");

  const Json& findings = doc["security_findings"];
  require(findings.is_array() && findings.size() == s.security_findings.size(), "findings count");
  for (std::size_t i = 0; i < s.security_findings.size(); ++i) {
    const SecurityFinding& f = s.security_findings[i];
    const Json& j = findings[i];
    const std::string where = "security_findings[" + std::to_string(i) + "]";
    check_keys(j, kFindingKeys, where);
    check_uuid(j["id"], f.id, where + ".id");
    check_text(j["severity"], std::string(kSeverity[static_cast<std::size_t>(f.severity)]), where + ".severity");
    check_text(j["finding_type"], f.finding_type, where + ".finding_type");
    check_text(j["description"], f.description, where + ".description");
    check_timestamp(j["detected_at"], f.detected_at, where + ".detected_at");
    check_double(j["confidence_score"], f.confidence_score, where + ".confidence_score");
    check_text(j["location"], f.location, where + ".location");
    check_map(j["metadata"], f.metadata, where + ".metadata");
    require(j["requires_alert"].is_boolean() && j["requires_alert"].get<bool>() == f.requires_alert,
            where, ".requires_alert");
  }
  check_map(doc["tags"], s.tags, "tags");

  const Json& events = doc["events"];
  require(events.is_array() && events.size() == s.events.size(), "events count");
  for (std::size_t i = 0; i < s.events.size(); ++i) {
    const SpanEvent& e = s.events[i];
    const Json& j = events[i];
    const std::string where = "events[" + std::to_string(i) + "]";
    check_keys(j, kEventKeys, where);
    check_uuid(j["id"], e.id, where + ".id");
    check_timestamp(j["timestamp"], e.timestamp, where + ".timestamp");
    check_text(j["event_type"], e.event_type, where + ".event_type");
    check_text(j["description"], e.description, where + ".description");
    check_map(j["data"], e.data, where + ".data");
  }

  const Json& actions = doc["agent_actions"];
  require(actions.is_array() && actions.size() == s.agent_actions.size(), "actions count");
  for (std::size_t i = 0; i < s.agent_actions.size(); ++i) {
    const AgentAction& a = s.agent_actions[i];
    const Json& j = actions[i];
    const std::string where = "agent_actions[" + std::to_string(i) + "]";
    check_keys(j, kActionKeys, where);
    check_uuid(j["id"], a.id, where + ".id");
    check_text(j["action_type"], std::string(kActionType[static_cast<std::size_t>(a.action_type)]),
               where + ".action_type");
    check_text(j["name"], a.name, where + ".name");
    check_text(j["arguments"], a.arguments, where + ".arguments");
    check_text(j["result"], a.result, where + ".result");
    check_int(j["duration_ms"], a.duration_ms, where + ".duration_ms");
    require(j["success"].is_boolean() && j["success"].get<bool>() == a.success, where, ".success");
    check_int(j["exit_code"], a.exit_code, where + ".exit_code");
    check_text(j["http_method"], a.http_method, where + ".http_method");
    check_int(j["http_status"], a.http_status, where + ".http_status");
    check_text(j["file_operation"], a.file_operation, where + ".file_operation");
    check_timestamp(j["timestamp"], a.timestamp, where + ".timestamp");
    check_map(j["metadata"], a.metadata, where + ".metadata");
  }
}

void check_summaries(const Json& doc, const std::vector<SecurityFinding>& findings) {
  require(doc.is_array() && doc.size() == findings.size(), "summary count");
  for (std::size_t i = 0; i < findings.size(); ++i) {
    const SecurityFinding& f = findings[i];
    const Json& j = doc[i];
    const std::string where = "summary[" + std::to_string(i) + "]";
    check_keys(j, kSummaryKeys, where);
    check_double(j["confidence_score"], f.confidence_score, where + ".confidence_score");
    check_text(j["description"], f.description, where + ".description");
    check_text(j["finding_type"], f.finding_type, where + ".finding_type");
    check_uuid(j["id"], f.id, where + ".id");
    check_text(j["location"], f.location, where + ".location");
    require(j["requires_alert"].is_boolean() && j["requires_alert"].get<bool>() == f.requires_alert,
            where, ".requires_alert");
    check_text(j["severity"], std::string(kSeverityLabel[static_cast<std::size_t>(f.severity)]), where + ".severity");
  }
}

// Whether `text` is `tokens` with only JSON whitespace added between the
// tokens (inside strings every byte must match). Compared in one pass,
// without building the stripped text.
bool same_but_layout(std::string_view text, std::string_view tokens) {
  std::size_t t = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!in_string && (c == ' ' || c == '\n' || c == '\t' || c == '\r')) continue;
    if (t == tokens.size() || tokens[t] != c) return false;
    ++t;
    if (in_string && c == '\\') {
      if (++i == text.size() || t == tokens.size() || tokens[t] != text[i]) return false;
      ++t;
    } else if (c == '"') {
      in_string = !in_string;
    }
  }
  return t == tokens.size();
}

// Whether `text` holds no whitespace between tokens.
bool compact_layout(std::string_view text) { return same_but_layout(text, text); }

// Two spaces per level: a line's indent is twice the number of containers
// open at its start, less one when it starts with a closing bracket. No
// line is empty or ends in a space; line feeds are the only line breaks.
void check_indented_layout(std::string_view text) {
  require(text.find('\r') == std::string_view::npos, "indented text holds a carriage return");
  require(!text.empty() && text.back() == '}', "indented text does not end with }");
  std::size_t depth = 0;
  std::size_t line_depth = 0;
  std::size_t line_start = 0;
  bool in_string = false;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || (!in_string && text[i] == '\n')) {
      const std::string_view line = text.substr(line_start, i - line_start);
      require(!line.empty() && line.back() != ' ', "indented line is empty or ends in a space");
      const std::size_t indent = line.find_first_not_of(' ');
      require(indent != std::string_view::npos, "indented line of spaces only");
      const bool closes = line[indent] == '}' || line[indent] == ']';
      require(!closes || line_depth > 0, "closing bracket at depth 0");
      const std::size_t expected = 2 * (closes ? line_depth - 1 : line_depth);
      if (indent != expected) {
        fail("indented text", ": indent of " + std::to_string(indent) + " where " + std::to_string(expected) +
                                  " was due: ",
             line);
      }
      line_start = i + 1;
      line_depth = depth;
      continue;
    }
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      require(depth > 0, "unbalanced closing bracket");
      --depth;
    }
  }
  require(depth == 0 && !in_string, "unbalanced brackets in indented text");
}


}  // namespace

void check_documents(const TraceSpan& span, std::string_view compact, std::string_view indented,
                     std::string_view summaries) {
  require(compact_layout(compact), "compact text holds whitespace between tokens");
  require(same_but_layout(indented, compact), "indented text differs from compact text beyond whitespace");
  check_indented_layout(indented);

  const Json compact_doc = parse(compact, "compact document");
  const Json indented_doc = parse(indented, "indented document");
  require(compact_doc == indented_doc, "compact and indented documents parse differently");
  check_span(compact_doc, span);

  require(compact_layout(summaries), "summary text holds whitespace between tokens");
  check_summaries(parse(summaries, "summary array"), span.security_findings);
}

}  // namespace korvanta::fuzz
