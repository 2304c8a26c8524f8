// Records one span through the installed korvanta_core package and checks its
// JSON document: proof that the installed headers, library and CMake target
// are complete and usable on their own. Prints the document; exits non-zero
// with a message on the first check that fails.
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "korvanta/agent_action.hpp"
#include "korvanta/enums.hpp"
#include "korvanta/json.hpp"
#include "korvanta/trace_span.hpp"
#include "korvanta/uuid.hpp"

namespace {

int failures = 0;

void expect(bool ok, std::string_view what) {
  if (!ok) {
    std::fprintf(stderr, "consumer: check failed: %.*s\n", static_cast<int>(what.size()), what.data());
    ++failures;
  }
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

}  // namespace

int main() {
  using korvanta::AgentAction;
  using korvanta::AgentActionType;
  using korvanta::LLMProvider;
  using korvanta::TenantId;
  using korvanta::TraceSpan;
  using korvanta::Uuid;

  std::string parse_error;
  std::optional<Uuid> tenant = Uuid::parse_str("0B8F4C1E-5A3D-4E2F-9C61-2D7A8B9C0D1E", &parse_error);
  expect(tenant.has_value(), "an upper-case UUID parses");
  if (!tenant) return 1;
  expect(!Uuid::parse_str("1234-5678", &parse_error).has_value() &&
             parse_error == "invalid group count: expected 5, found 2",
         "a malformed UUID is refused with its diagnosis");

  TraceSpan span = TraceSpan::create(Uuid::new_v4(), TenantId{*tenant}, "chat_completion",
                                     LLMProvider::custom("my-gateway"), "gpt-4o-mini", "Weather in Paris?");
  span.add_agent_action(AgentAction::create(AgentActionType::ToolCall, "get_weather")
                            .with_arguments(R"({"city": "Paris"})")
                            .with_result(std::string(5000, 'x')));
  span = std::move(span).finish_with_response("Rain, 14 \xC2\xB0" "C.");
  expect(span.is_complete() && !span.is_failed(), "a span finished with a response is complete, not failed");

  const std::string json = korvanta::span_to_json(span, korvanta::JsonLayout::Compact);
  std::printf("%s\n", json.c_str());

  expect(json.starts_with("{\"trace_id\":\""), "the document starts with trace_id");
  expect(json.ends_with("]}"), "the document ends with the agent_actions array");
  expect(contains(json, "\"tenant_id\":\"0b8f4c1e-5a3d-4e2f-9c61-2d7a8b9c0d1e\""), "tenant_id in lower case");
  expect(contains(json, "\"provider\":{\"Custom\":\"my-gateway\"}"), "a custom provider is an object");
  expect(contains(json, "\"response\":\"Rain, 14 \xC2\xB0" "C.\""), "the response, non-ASCII unescaped");
  expect(contains(json, "\"action_type\":\"tool_call\",\"name\":\"get_weather\""), "the agent action");
  expect(contains(json, "\"arguments\":\"{\\\"city\\\": \\\"Paris\\\"}\""), "the action's arguments, escaped");
  expect(contains(json, "\"result\":\"" + std::string(AgentAction::kMaxResultBytes, 'x') + "\""),
         "the result cut to 4096 bytes");
  expect(contains(json, "\"end_time\":\"") && !contains(json, "\"end_time\":null"), "an end time");

  return failures == 0 ? 0 : 1;
}
