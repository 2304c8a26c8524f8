// OTLP encoding: the span, action, event and finding mapping read back field
// by field, id folding, tenant grouping, text repair and filtering, lengths
// of every varint width.
#include "korvanta/otlp.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <set>

#include "korvanta/version.hpp"
#include "proto_reader.hpp"

namespace korvanta {
namespace {

using testing::AttributeValue;
using testing::ProtoMessage;
using Attrs = std::map<std::string, AttributeValue>;
using namespace std::string_literals;

Uuid id(std::string_view text) { return *Uuid::parse_str(text); }

std::string folded(const Uuid& u) {
  const auto f = otlp_span_id(u);
  return {reinterpret_cast<const char*>(f.data()), f.size()};
}
std::string raw(const Uuid& u) { return {reinterpret_cast<const char*>(u.bytes.data()), u.bytes.size()}; }

constexpr std::uint64_t kStartNanos = 1'700'000'000'123'456'789;

TraceSpan base_span() {
  TraceSpan s;
  s.trace_id = id("11111111-2222-4333-8444-555555555555");
  s.span_id = id("01020304-0506-4708-890a-0b0c0d0e0f10");
  s.tenant_id = TenantId{id("aaaaaaaa-0000-4000-8000-000000000001")};
  s.operation_name = "chat";
  s.provider = LLMProvider::Kind::Anthropic;
  s.model_name = "claude-3";
  s.start_time = Timestamp{1'700'000'000, 123'456'789};
  return s;
}

std::string encode(const std::vector<const TraceSpan*>& spans, const TextFilter* filter = nullptr) {
  std::string out;
  encode_export_request(spans, OtlpResource{"svc", {}}, out, filter);
  return out;
}

// The spans of a request with a single tenant.
std::vector<ProtoMessage> spans_of(const std::string& bytes) {
  const ProtoMessage request(bytes);
  return request.message(1).message(2).messages(2);
}

TEST(Otlp, FullSpanMapsFieldByField) {
  TraceSpan s = base_span();
  s.parent_span_id = id("99999999-8888-4777-8666-555555555555");
  s.prompt = "Hi \"there\"";
  s.response = "Hello";
  s.end_time = Timestamp{1'700'000'001, 623'456'789};
  s.duration_ms = 1500;
  s.prompt_tokens = 12;
  s.completion_tokens = 34;
  s.total_tokens = 46;
  s.time_to_first_token_ms = 250;
  s.estimated_cost_usd = 0.0125;
  s.security_score = 87;
  s.tags.insert_or_assign("gen_ai.response.model", "claude-3-x");
  s.tags.insert_or_assign("gen_ai.usage.cache_read.input_tokens", "7");
  s.tags.insert_or_assign("gen_ai.request.seed", "007");  // not canonical: stays text
  s.tags.insert_or_assign("gen_ai.request.model", "shadowed");
  s.tags.insert_or_assign("", "no key");
  s.tags.insert_or_assign("team", "search");
  SpanEvent e{id("e0000000-0000-4000-8000-000000000001"), Timestamp{1'700'000'000, 500}, "retry", "backing off", {}};
  e.data.insert_or_assign("attempt", "2");
  e.data.insert_or_assign("korvanta.event.description", "shadowed");
  s.events.push_back(e);
  SecurityFinding f{id("f0000000-0000-4000-8000-000000000001"), SecuritySeverity::High, "secret", "api key",
                    Timestamp{1'700'000'000, 900}, 0.75, "prompt", {}, true};
  f.metadata.insert_or_assign("rule", "aws-key");
  s.security_findings.push_back(f);

  const std::string bytes = encode({&s});
  const ProtoMessage request(bytes);
  ASSERT_EQ(request.fields().size(), 1u);
  const ProtoMessage group = request.message(1);
  EXPECT_EQ(testing::attributes(group.message(1), 1),
            (Attrs{{"service.name", "svc"s}, {"korvanta.tenant_id", s.tenant_id.to_string()}}));
  const ProtoMessage scope_spans = group.message(2);
  EXPECT_EQ(scope_spans.message(1).bytes(1), "korvanta");
  EXPECT_EQ(scope_spans.message(1).bytes(2), library_version());
  const ProtoMessage span = scope_spans.message(2);

  EXPECT_EQ(span.bytes(1), raw(s.trace_id));
  EXPECT_EQ(span.bytes(2), folded(s.span_id));
  EXPECT_EQ(span.bytes(4), folded(*s.parent_span_id));
  EXPECT_EQ(span.bytes(5), "chat claude-3");
  EXPECT_EQ(span.value(6), 3u);  // CLIENT
  EXPECT_EQ(span.value(7), kStartNanos);
  EXPECT_EQ(span.value(8), kStartNanos + 1'500'000'000);
  EXPECT_FALSE(span.has(15));  // status UNSET
  EXPECT_EQ(testing::attributes(span, 9),
            (Attrs{
                {"gen_ai.operation.name", "chat"s},
                {"gen_ai.provider.name", "anthropic"s},
                {"gen_ai.request.model", "claude-3"s},
                {"gen_ai.usage.input_tokens", std::int64_t{12}},
                {"gen_ai.usage.output_tokens", std::int64_t{34}},
                {"gen_ai.response.time_to_first_chunk", 0.25},
                {"gen_ai.input.messages",
                 R"([{"role":"user","parts":[{"type":"text","content":"Hi \"there\""}]}])"s},
                {"gen_ai.output.messages",
                 R"([{"role":"assistant","parts":[{"type":"text","content":"Hello"}],"finish_reason":"stop"}])"s},
                {"korvanta.span_id", s.span_id.to_string()},
                {"korvanta.tenant_id", s.tenant_id.to_string()},
                {"korvanta.provider", "Anthropic"s},
                {"korvanta.duration_ms", std::int64_t{1500}},
                {"korvanta.total_tokens", std::int64_t{46}},
                {"korvanta.time_to_first_token_ms", std::int64_t{250}},
                {"korvanta.estimated_cost_usd", 0.0125},
                {"korvanta.security_score", std::int64_t{87}},
                {"gen_ai.response.model", "claude-3-x"s},
                {"gen_ai.usage.cache_read.input_tokens", std::int64_t{7}},
                {"gen_ai.request.seed", "007"s},
                {"team", "search"s},
            }));

  const auto events = span.messages(11);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].value(1), 1'700'000'000'000'000'500u);
  EXPECT_EQ(events[0].bytes(2), "retry");
  EXPECT_EQ(testing::attributes(events[0], 3), (Attrs{{"korvanta.event.id", e.id.to_string()},
                                                     {"korvanta.event.description", "backing off"s},
                                                     {"attempt", "2"s}}));
  EXPECT_EQ(events[1].value(1), 1'700'000'000'000'000'900u);
  EXPECT_EQ(events[1].bytes(2), "korvanta.security_finding");
  EXPECT_EQ(testing::attributes(events[1], 3), (Attrs{{"korvanta.finding.id", f.id.to_string()},
                                                     {"korvanta.finding.severity", "high"s},
                                                     {"korvanta.finding.type", "secret"s},
                                                     {"korvanta.finding.description", "api key"s},
                                                     {"korvanta.finding.confidence", 0.75},
                                                     {"korvanta.finding.location", "prompt"s},
                                                     {"korvanta.finding.requires_alert", true},
                                                     {"korvanta.finding.metadata.rule", "aws-key"s}}));
}

struct ActionRow {
  AgentActionType type;
  std::string name;
  std::string span_name;
  std::string name_key;
  std::string text_prefix;  // of the arguments' and result's keys
};

TEST(Otlp, EveryActionKindIsAChildSpan) {
  const std::vector<ActionRow> rows = {
      {AgentActionType::ToolCall, "search", "execute_tool search", "gen_ai.tool.name", "gen_ai.tool.call."},
      {AgentActionType::SkillInvocation, "sum", "skill_invocation sum", "korvanta.action.name", "korvanta.action."},
      {AgentActionType::CommandExecution, "ls", "command_execution ls", "korvanta.action.name", "korvanta.action."},
      {AgentActionType::WebAccess, "https://a.example/", "web_access https://a.example/", "url.full",
       "korvanta.action."},
      {AgentActionType::FileAccess, "/etc/hosts", "file_access /etc/hosts", "file.path", "korvanta.action."},
  };
  TraceSpan s = base_span();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    AgentAction a;
    a.id = id("a0000000-0000-4000-8000-00000000000" + std::to_string(i));
    a.action_type = rows[i].type;
    a.name = rows[i].name;
    a.arguments = "ARGS";
    a.result = "RESULT";
    a.timestamp = Timestamp{1'700'000'002, 0};
    a.metadata.insert_or_assign("gen_ai.tool.call.id", "call_7");
    a.metadata.insert_or_assign("origin", "planner");
    // Every other action carries the optional fields, fails, and lasts 250 ms.
    if (i % 2 == 1) {
      a.duration_ms = 250;
      a.success = false;
      a.exit_code = -2;
      a.http_method = "POST";
      a.http_status = 503;
      a.file_operation = "read";
    }
    s.add_agent_action(std::move(a));
  }

  const std::string bytes = encode({&s});
  const auto spans = spans_of(bytes);
  ASSERT_EQ(spans.size(), 1 + rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].span_name);
    const AgentAction& a = s.agent_actions[i];
    const ProtoMessage& span = spans[1 + i];
    EXPECT_EQ(span.bytes(1), raw(s.trace_id));
    EXPECT_EQ(span.bytes(2), folded(a.id));
    EXPECT_EQ(span.bytes(4), spans[0].bytes(2));
    EXPECT_EQ(span.bytes(5), rows[i].span_name);
    EXPECT_EQ(span.value(6), 1u);  // INTERNAL
    const std::uint64_t end = 1'700'000'002'000'000'000;
    EXPECT_EQ(span.value(8), end);
    Attrs expected = {{"korvanta.action.id", a.id.to_string()},
                      {"korvanta.action.type", std::string(to_string(a.action_type))},
                      {rows[i].name_key, rows[i].name},
                      {rows[i].text_prefix + "arguments", "ARGS"s},
                      {rows[i].text_prefix + "result", "RESULT"s},
                      {"korvanta.action.metadata.origin", "planner"s}};
    if (i == 0) {
      expected.insert({{"gen_ai.operation.name", "execute_tool"s}, {"gen_ai.tool.call.id", "call_7"s}});
    } else {
      expected.insert({"korvanta.action.metadata.gen_ai.tool.call.id", "call_7"s});
    }
    if (a.success) {
      EXPECT_EQ(span.value(7), end);
      EXPECT_FALSE(span.has(15));
    } else {
      EXPECT_EQ(span.value(7), end - 250'000'000);
      EXPECT_EQ(span.message(15).value(3), 2u);
      EXPECT_FALSE(span.message(15).has(2));
      expected.insert({{"korvanta.duration_ms", std::int64_t{250}},
                       {"process.exit.code", std::int64_t{-2}},
                       {"http.request.method", "POST"s},
                       {"http.response.status_code", std::int64_t{503}},
                       {"korvanta.action.file_operation", "read"s},
                       {"error.type", "_OTHER"s}});
    }
    EXPECT_EQ(testing::attributes(span, 9), expected);
  }
}

TEST(Otlp, FailedSpanCarriesStatusAndErrorType) {
  const std::vector<std::pair<std::string, std::string>> rows = {  // message, error.type
      {"RateLimitError: slow down", "RateLimitError"},
      {"openai.APITimeoutError: timed out", "openai.APITimeoutError"},
      {"https://api.example.org unreachable", "_OTHER"},
      {"retry: later", "_OTHER"},
      {"Bad Name: x", "_OTHER"},
      {"a..B: x", "_OTHER"},
      {": nothing before", "_OTHER"},
      {"no colon at all", "_OTHER"},
      {"", "_OTHER"},
  };
  for (const auto& [message, error_type] : rows) {
    SCOPED_TRACE(message);
    TraceSpan s = base_span();
    s.error_message = message;
    if (message.empty()) s.status_code = 504;
    const std::string bytes = encode({&s});
    const ProtoMessage span = spans_of(bytes).at(0);
    const ProtoMessage status = span.message(15);
    EXPECT_EQ(status.value(3), 2u);
    EXPECT_EQ(status.has(2) ? std::string(status.bytes(2)) : "", message);
    const Attrs attrs = testing::attributes(span, 9);
    EXPECT_EQ(std::get<std::string>(attrs.at("error.type")), error_type);
    EXPECT_EQ(attrs.count("http.response.status_code"), message.empty() ? 1u : 0u);
  }
}

TEST(Otlp, FoldedIdsKeepParentLinks) {
  for (int i = 0; i < 64; ++i) {
    const Uuid u = Uuid::new_v4();
    const auto f = otlp_span_id(u);
    for (std::size_t k = 0; k < 8; ++k) ASSERT_EQ(f[k], u.bytes[k] ^ u.bytes[k + 8]);
  }
  TraceSpan parent = base_span();
  parent.add_agent_action(AgentAction::create(AgentActionType::ToolCall, "t"));
  TraceSpan child = base_span();
  child.span_id = Uuid::new_v4();
  child.parent_span_id = parent.span_id;
  const std::string bytes = encode({&parent, &child});
  const auto spans = spans_of(bytes);
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[1].bytes(4), spans[0].bytes(2));  // the action's parent
  EXPECT_EQ(spans[2].bytes(4), spans[0].bytes(2));  // the child span's parent
}

TEST(Otlp, OneResourceSpansPerTenantSpansInGivenOrder) {
  const TenantId a{id("aaaaaaaa-0000-4000-8000-000000000000")};
  const TenantId b{id("bbbbbbbb-0000-4000-8000-000000000000")};
  std::vector<TraceSpan> records;
  for (const TenantId& t : {b, a, b, a, a}) {
    records.push_back(base_span());
    records.back().tenant_id = t;
    records.back().span_id = Uuid::new_v4();
  }
  std::vector<const TraceSpan*> pointers;
  for (const TraceSpan& r : records) pointers.push_back(&r);
  const std::string bytes = encode(pointers);
  const auto groups = ProtoMessage(bytes).messages(1);
  ASSERT_EQ(groups.size(), 2u);
  const std::vector<std::pair<TenantId, std::vector<std::size_t>>> expected = {{a, {1, 3, 4}}, {b, {0, 2}}};
  for (std::size_t g = 0; g < groups.size(); ++g) {
    const auto& [tenant, members] = expected[g];
    EXPECT_EQ(std::get<std::string>(testing::attributes(groups[g].message(1), 1).at("korvanta.tenant_id")),
              tenant.to_string());
    const auto spans = groups[g].message(2).messages(2);
    ASSERT_EQ(spans.size(), members.size());
    for (std::size_t k = 0; k < spans.size(); ++k) EXPECT_EQ(spans[k].bytes(2), folded(records[members[k]].span_id));
  }
}

TEST(Otlp, TimesAreClampedUnixNanosAndUnfinishedSpansHaveNoLength) {
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  const std::vector<std::pair<Timestamp, std::uint64_t>> rows = {
      {{-5, 7}, 0},
      {{1, 5}, 1'000'000'005},
      {{18'446'744'073, 709'551'615}, kMax},
      {{18'446'744'073, 709'551'616}, kMax},
      {{std::numeric_limits<std::int64_t>::max(), 999'999'999}, kMax},
  };
  for (const auto& [start, nanos] : rows) {
    SCOPED_TRACE(nanos);
    TraceSpan s = base_span();
    s.start_time = start;
    AgentAction a;
    a.timestamp = start;
    a.duration_ms = kMax;
    s.add_agent_action(std::move(a));
    const std::string bytes = encode({&s});
    const auto spans = spans_of(bytes);
    const auto time = [](const ProtoMessage& m, std::uint32_t f) { return m.has(f) ? m.value(f) : 0; };
    EXPECT_EQ(time(spans[0], 7), nanos);
    EXPECT_EQ(time(spans[0], 8), nanos);  // not finished
    EXPECT_EQ(time(spans[1], 7), 0u);     // the duration reaches past 1970
    EXPECT_EQ(time(spans[1], 8), nanos);
  }
}

TEST(Otlp, MalformedUtf8BecomesReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> rows = {  // input, output
      {"plain ascii, long enough for a block", "plain ascii, long enough for a block"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"a\xFF" "b", "a" + r + "b"},
      {"\xC0\xAF", r + r},                   // overlong '/'
      {"\xE0\x80\xAF", r + r + r},           // overlong, three bytes
      {"\xED\xA0\x80", r + r + r},           // surrogate U+D800
      {"\xF4\x90\x80\x80", r + r + r + r},   // past U+10FFFF
      {"12345678\xE2\x82", "12345678" + r + r},  // cut off at the end
      {"\x80\x80 ok \xC3\xA9", r + r + " ok \xC3\xA9"},
  };
  for (const auto& [input, output] : rows) {
    TraceSpan s = base_span();
    s.tags.insert_or_assign("t", input);
    s.tags.insert_or_assign("k" + input, "key");
    const std::string bytes = encode({&s});
    const Attrs attrs = testing::attributes(spans_of(bytes).at(0), 9);
    EXPECT_EQ(std::get<std::string>(attrs.at("t")), output);
    EXPECT_EQ(attrs.count("k" + output), 1u);
  }
  // Keys that repair to the same text, here and beside a valid one: one
  // attribute, the valid key's.
  TraceSpan s = base_span();
  s.tags.insert_or_assign("a\xFF", "first");
  s.tags.insert_or_assign("a" + r, "valid");
  s.tags.insert_or_assign("a\xFE", "second");
  s.tags.insert_or_assign("b\xFF", "first");
  s.tags.insert_or_assign("b\xFE", "second");
  const std::string bytes = encode({&s});
  const Attrs attrs = testing::attributes(spans_of(bytes).at(0), 9);
  EXPECT_EQ(std::get<std::string>(attrs.at("a" + r)), "valid");
  EXPECT_EQ(std::get<std::string>(attrs.at("b" + r)), "first");
}

struct PromptRow {
  std::string prompt;
  std::string messages;  // empty: the prompt as it is
};

TEST(Otlp, PromptIsSentAsMessagesOrWrappedAsOneUserMessage) {
  const auto user = [](std::string_view escaped) {
    return R"([{"role":"user","parts":[{"type":"text","content":")" + std::string(escaped) + R"("}]}])";
  };
  std::string deep = R"([{"role":"user","x":)" + std::string(100'000, '[');
  const std::vector<PromptRow> rows = {
      {R"([{"role":"user","content":"hi"}])", ""},
      {" [ {\"role\" : \"system\", \"c\": [1, -2.5e3, 0.0, true, false, null, {\"a\": \"\\u00e9\\n\"}]},\n"
       "{\"role\":\"user\"} ] ",
       ""},
      {"[]", user("[]")},
      {R"([{"content":"x"}])", user(R"([{\"content\":\"x\"}])")},
      {R"([{"role":1}])", user(R"([{\"role\":1}])")},
      {R"([{"role":"user"}] x)", user(R"([{\"role\":\"user\"}] x)")},
      {R"([{"role":"user","n":01}])", user(R"([{\"role\":\"user\",\"n\":01}])")},
      {R"([{"role":"user","s":"\x"}])", user(R"([{\"role\":\"user\",\"s\":\"\\x\"}])")},
      {"line\tone", user("line\\tone")},
      {deep, ""},  // checked below: too deep to be taken as messages
  };
  for (const PromptRow& row : rows) {
    SCOPED_TRACE(row.prompt.substr(0, 60));
    TraceSpan s = base_span();
    s.prompt = row.prompt;
    const std::string bytes = encode({&s});
    const std::string sent =
        std::get<std::string>(testing::attributes(spans_of(bytes).at(0), 9).at("gen_ai.input.messages"));
    if (&row == &rows.back()) {
      EXPECT_TRUE(sent.starts_with(R"([{"role":"user","parts":)"));
    } else {
      EXPECT_EQ(sent, row.messages.empty() ? row.prompt : row.messages);
    }
  }
}

TEST(Otlp, FilterSeesEveryFreeTextAndNothingUnfilteredGoesOut) {
  TraceSpan s = base_span();
  s.prompt = "SECRET prompt";
  s.response = "SECRET response";
  s.error_message = "ValueError: SECRET";
  s.tags.insert_or_assign("tag", "SECRET");
  AgentAction a = AgentAction::create(AgentActionType::WebAccess, "https://x/?token=SECRET");
  a.arguments = "SECRET";
  a.result = "SECRET";
  a.metadata.insert_or_assign("m", "SECRET");
  s.add_agent_action(std::move(a));
  AgentAction tool = AgentAction::create(AgentActionType::ToolCall, "t");
  tool.metadata.insert_or_assign("gen_ai.tool.call.id", "SECRET");
  s.add_agent_action(std::move(tool));
  SpanEvent e{Uuid::new_v4(), Timestamp{}, "ev", "SECRET", {}};
  e.data.insert_or_assign("d", "SECRET");
  s.events.push_back(e);
  SecurityFinding f{Uuid::new_v4(), SecuritySeverity::Low, "t", "SECRET", Timestamp{}, 1.0, "SECRET", {}, false};
  f.metadata.insert_or_assign("m", "SECRET");
  s.security_findings.push_back(f);

  std::set<OtlpText> seen;
  const TextFilter mask = [&](std::string_view text, OtlpText field, std::string& scratch) {
    seen.insert(field);
    scratch.assign(text);
    for (std::size_t at; (at = scratch.find("SECRET")) != std::string::npos;) scratch.replace(at, 6, "***");
    return std::string_view(scratch);
  };
  const std::string bytes = encode({&s}, &mask);
  EXPECT_EQ(bytes.find("SECRET"), std::string::npos);
  EXPECT_NE(bytes.find("https://x/?token=***"), std::string::npos);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(OtlpText::FindingMetadataValue) + 1);
  EXPECT_EQ(std::get<std::string>(testing::attributes(spans_of(bytes).at(0), 9).at("error.type")), "ValueError");

  const TextFilter failing = [](std::string_view, OtlpText, std::string&) -> std::string_view {
    throw std::runtime_error("filter failed");
  };
  std::string out = "kept";
  const TraceSpan* spans[] = {&s};
  EXPECT_THROW(encode_export_request(spans, {}, out, &failing), std::runtime_error);
  EXPECT_EQ(out, "kept");
}

TEST(Otlp, LengthsOfEveryVarintWidthReadBack) {
  // Prompt sizes around each width of a span's and a group's length, so that
  // back-patching both grows and shrinks the room set aside.
  for (const std::size_t size : {0u, 1u, 40u, 127u, 128u, 16'000u, 16'383u, 16'384u, 2'100'000u}) {
    SCOPED_TRACE(size);
    TraceSpan s = base_span();
    s.operation_name.clear();
    s.model_name.clear();
    s.provider = LLMProvider::custom("");
    s.prompt = std::string(size, 'p');
    std::string out = "prefix";
    const TraceSpan* spans[] = {&s, &s};
    encode_export_request(spans, OtlpResource{"", {}}, out);
    ASSERT_TRUE(out.starts_with("prefix"));
    const std::string bytes = out.substr(6);
    const auto decoded = spans_of(bytes);
    ASSERT_EQ(decoded.size(), 2u);
    for (const ProtoMessage& span : decoded) {
      EXPECT_FALSE(span.has(5));     // no name
      EXPECT_EQ(span.value(6), 1u);  // INTERNAL: neither provider nor model
      const Attrs attrs = testing::attributes(span, 9);
      EXPECT_EQ(attrs.count("gen_ai.input.messages"), size == 0 ? 0u : 1u);
      if (size != 0) {
        EXPECT_EQ(std::get<std::string>(attrs.at("gen_ai.input.messages")).size(), size + 56);
      }
    }
  }
}

TEST(Otlp, NullSpanIsRejectedAndNoSpansEncodeToNothing) {
  TraceSpan s = base_span();
  const TraceSpan* spans[] = {&s, nullptr};
  std::string out = "kept";
  try {
    encode_export_request(spans, {}, out);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "encode_export_request: spans[1] is null");
  }
  EXPECT_EQ(out, "kept");
  encode_export_request({}, {}, out);
  EXPECT_EQ(out, "kept");
}

}  // namespace
}  // namespace korvanta
