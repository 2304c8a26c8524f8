// Span records: creation, finishing, actions, copies and durations.
#include "korvanta/trace_span.hpp"

#include <gtest/gtest.h>

namespace korvanta {
namespace {

TraceSpan new_span() {
  return TraceSpan::create(Uuid::new_v4(), TenantId::generate(), "chat_completion", LLMProvider::Kind::OpenAI,
                           "gpt-4", "");
}

TEST(TraceSpan, NewSpanHasOnlyItsGivenAndDrawnFields) {
  const Uuid trace = Uuid::new_v4();
  const TenantId tenant = TenantId::generate();
  const TraceSpan span =
      TraceSpan::create(trace, tenant, "op", LLMProvider::custom("my-gateway"), "model", "hello");
  EXPECT_EQ(span.trace_id, trace);
  EXPECT_NE(span.span_id, trace);
  EXPECT_EQ(span.tenant_id, tenant);
  EXPECT_EQ(span.operation_name, "op");
  EXPECT_EQ(span.model_name, "model");
  EXPECT_EQ(span.prompt, "hello");
  EXPECT_EQ(span.provider.custom_name(), "my-gateway");
  EXPECT_FALSE(span.parent_span_id || span.end_time || span.response || span.prompt_tokens ||
               span.completion_tokens || span.total_tokens || span.time_to_first_token_ms ||
               span.duration_ms || span.status_code || span.error_message || span.estimated_cost_usd ||
               span.security_score);
  EXPECT_TRUE(span.security_findings.empty() && span.tags.empty() && span.events.empty() &&
              span.agent_actions.empty());
  EXPECT_FALSE(span.is_complete());
  EXPECT_FALSE(span.is_failed());
}

TEST(TraceSpan, FinishWithResponseLeavesErrorFieldsAbsent) {
  const TraceSpan span = new_span().finish_with_response("ok");
  EXPECT_EQ(span.response, "ok");
  EXPECT_TRUE(span.is_complete());
  EXPECT_FALSE(span.is_failed());
  EXPECT_FALSE(span.status_code || span.error_message);
  EXPECT_TRUE(span.duration_ms.has_value());
}

TEST(TraceSpan, FinishWithErrorReplacesOrClearsTheStatusCode) {
  TraceSpan span = new_span().finish_with_error("gateway timeout", 504);
  EXPECT_EQ(span.status_code, 504);
  span = std::move(span).finish_with_error("second", std::nullopt);
  EXPECT_EQ(span.error_message, "second");
  EXPECT_FALSE(span.status_code.has_value());
  EXPECT_TRUE(span.is_failed());
  EXPECT_TRUE(span.is_complete());
}

TEST(TraceSpan, ErrorThenResponseKeepsBothAndStaysFailed) {
  TraceSpan span = new_span().finish_with_error("boom", 500);
  const Timestamp first_end = *span.end_time;
  span = std::move(span).finish_with_response("late answer");
  EXPECT_TRUE(span.is_failed());
  EXPECT_EQ(span.error_message, "boom");
  EXPECT_EQ(span.status_code, 500);
  EXPECT_EQ(span.response, "late answer");
  EXPECT_GE(millis_between(first_end, *span.end_time), 0);
  EXPECT_EQ(*span.duration_ms, static_cast<std::uint64_t>(millis_between(span.start_time, *span.end_time)));
}

TEST(TraceSpan, ActionsKeepTheirOrderAndCopiesAreDeep) {
  TraceSpan span = new_span();
  for (const char* name : {"search", "fetch", "write"}) {
    span.add_agent_action(AgentAction::create(AgentActionType::ToolCall, name));
  }
  for (int i = 0; i < 20; ++i) span.tags.insert_or_assign("key" + std::to_string(i), "v");
  TraceSpan copy = span;
  span.agent_actions[0].name = "changed";
  span.tags.insert_or_assign("key0", "changed");
  ASSERT_EQ(copy.agent_actions.size(), 3u);
  EXPECT_EQ(copy.agent_actions[0].name, "search");
  EXPECT_EQ(copy.agent_actions[1].name, "fetch");
  EXPECT_EQ(copy.agent_actions[2].name, "write");
  EXPECT_EQ(*copy.tags.find("key0"), "v");
  auto original = span.tags.begin();
  for (const auto& entry : copy.tags) EXPECT_EQ(entry.key, (original++)->key);
}

struct Gap {
  Timestamp start;
  Timestamp end;
  std::int64_t millis;
};

class MillisBetween : public testing::TestWithParam<Gap> {};

TEST_P(MillisBetween, TruncatesTowardZero) {
  EXPECT_EQ(millis_between(GetParam().start, GetParam().end), GetParam().millis);
}

INSTANTIATE_TEST_SUITE_P(Gaps, MillisBetween,
                         testing::Values(Gap{{10, 0}, {10, 1'999'900}, 1},
                                         Gap{{10, 999'999'999}, {11, 0}, 0},
                                         Gap{{10, 500'000'000}, {12, 400'000'000}, 1900},
                                         Gap{{10, 0}, {10, 999'999}, 0},
                                         Gap{{12, 0}, {10, 500'000'000}, -1500},
                                         Gap{{10, 1'000'000}, {10, 0}, -1},
                                         Gap{{10, 999'999}, {10, 0}, 0},
                                         Gap{{11, 0}, {10, 0}, -1000}));

}  // namespace
}  // namespace korvanta
