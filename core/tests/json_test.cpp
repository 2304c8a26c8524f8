// The JSON document of spans and the finding summaries, checked as text.
#include "korvanta/json.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace korvanta {
namespace {

Uuid id(int n) {
  Uuid u = *Uuid::parse_str("00000000-0000-4000-8000-000000000000");
  u.bytes[15] = static_cast<std::uint8_t>(n);
  return u;
}

// 2025-03-01T09:05:07Z plus `nanos`.
Timestamp at(std::uint32_t nanos) { return Timestamp{1740819907, nanos}; }

TraceSpan fixed_span(LLMProvider provider = LLMProvider::Kind::OpenAI) {
  TraceSpan span = TraceSpan::create(id(1), TenantId{id(3)}, "chat_completion", std::move(provider), "gpt-4", "");
  span.span_id = id(2);
  span.start_time = at(120'000'000);
  return span;
}

std::string compact(const TraceSpan& span) { return span_to_json(span, JsonLayout::Compact); }
std::string indented(const TraceSpan& span) { return span_to_json(span, JsonLayout::Indented); }

std::string number(double value) {
  JsonWriter out(JsonLayout::Compact);
  out.number(value);
  return std::string(out.view());
}

std::string string(std::string_view text) {
  JsonWriter out(JsonLayout::Compact);
  out.string(text);
  return std::string(out.view());
}

TEST(SpanJson, FreshSpanCompact) {
  EXPECT_EQ(compact(fixed_span()),
            "{\"trace_id\":\"00000000-0000-4000-8000-000000000001\","
            "\"span_id\":\"00000000-0000-4000-8000-000000000002\",\"parent_span_id\":null,"
            "\"tenant_id\":\"00000000-0000-4000-8000-000000000003\",\"operation_name\":\"chat_completion\","
            "\"start_time\":\"2025-03-01T09:05:07.120Z\",\"end_time\":null,\"provider\":\"OpenAI\","
            "\"model_name\":\"gpt-4\",\"prompt\":\"\",\"response\":null,\"prompt_tokens\":null,"
            "\"completion_tokens\":null,\"total_tokens\":null,\"time_to_first_token_ms\":null,"
            "\"duration_ms\":null,\"status_code\":null,\"error_message\":null,\"estimated_cost_usd\":null,"
            "\"security_score\":null,\"security_findings\":[],\"tags\":{},\"events\":[],\"agent_actions\":[]}");
}

TEST(SpanJson, FreshSpanIndentedHas26Lines) {
  const std::string text = indented(fixed_span());
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 26u);
  EXPECT_EQ(lines.front(), "{");
  EXPECT_EQ(lines.back(), "}");
  EXPECT_NE(text.back(), '\n');
  for (std::size_t i = 1; i < 25; ++i) {
    EXPECT_EQ(lines[i].substr(0, 2), "  ") << lines[i];
    EXPECT_NE(lines[i][2], ' ') << lines[i];
    EXPECT_NE(lines[i].back(), ' ') << lines[i];
  }
  EXPECT_EQ(lines[1], "  \"trace_id\": \"00000000-0000-4000-8000-000000000001\",");
  EXPECT_EQ(lines[3], "  \"parent_span_id\": null,");
  EXPECT_EQ(lines[21], "  \"security_findings\": [],");
  EXPECT_EQ(lines[22], "  \"tags\": {},");
  EXPECT_EQ(lines[24], "  \"agent_actions\": []");
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(SpanJson, EveryRecordKindIndented) {
  TraceSpan span = fixed_span(LLMProvider::custom("my-gateway"));
  span.tags.insert_or_assign("env", "prod");
  span.status_code = 504;
  span.estimated_cost_usd = 0.25;
  span.security_score = 87;
  span.total_tokens = 4294967296;
  AgentAction action = AgentAction::create(AgentActionType::CommandExecution, "ls").with_result("ok");
  action.id = id(4);
  action.timestamp = at(0);
  action.exit_code = -1;
  action.success = false;
  action.metadata.insert_or_assign("cwd", "/tmp");
  span.add_agent_action(std::move(action));
  SecurityFinding finding{id(5), SecuritySeverity::Critical, "prompt_injection", "ignore previous", at(1500),
                          0.5, std::nullopt, StringMap(), true};
  span.security_findings.push_back(finding);
  SpanEvent event{id(6), at(120'000), "retry", "second attempt", StringMap()};
  event.data.insert_or_assign("attempt", "2");
  span.events.push_back(event);

  const std::string expected = R"({
  "trace_id": "00000000-0000-4000-8000-000000000001",
  "span_id": "00000000-0000-4000-8000-000000000002",
  "parent_span_id": null,
  "tenant_id": "00000000-0000-4000-8000-000000000003",
  "operation_name": "chat_completion",
  "start_time": "2025-03-01T09:05:07.120Z",
  "end_time": null,
  "provider": {
    "Custom": "my-gateway"
  },
  "model_name": "gpt-4",
  "prompt": "",
  "response": null,
  "prompt_tokens": null,
  "completion_tokens": null,
  "total_tokens": 4294967296,
  "time_to_first_token_ms": null,
  "duration_ms": null,
  "status_code": 504,
  "error_message": null,
  "estimated_cost_usd": 0.25,
  "security_score": 87,
  "security_findings": [
    {
      "id": "00000000-0000-4000-8000-000000000005",
      "severity": "Critical",
      "finding_type": "prompt_injection",
      "description": "ignore previous",
      "detected_at": "2025-03-01T09:05:07.000001500Z",
      "confidence_score": 0.5,
      "location": null,
      "metadata": {},
      "requires_alert": true
    }
  ],
  "tags": {
    "env": "prod"
  },
  "events": [
    {
      "id": "00000000-0000-4000-8000-000000000006",
      "timestamp": "2025-03-01T09:05:07.000120Z",
      "event_type": "retry",
      "description": "second attempt",
      "data": {
        "attempt": "2"
      }
    }
  ],
  "agent_actions": [
    {
      "id": "00000000-0000-4000-8000-000000000004",
      "action_type": "command_execution",
      "name": "ls",
      "arguments": null,
      "result": "ok",
      "duration_ms": null,
      "success": false,
      "exit_code": -1,
      "http_method": null,
      "http_status": null,
      "file_operation": null,
      "timestamp": "2025-03-01T09:05:07Z",
      "metadata": {
        "cwd": "/tmp"
      }
    }
  ]
})";
  EXPECT_EQ(indented(span), expected);

  // The compact layout is the same document without whitespace.
  std::string stripped;
  bool in_string = false;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const char c = expected[i];
    if (c == '"' && expected[i - 1] != '\\') in_string = !in_string;
    if (in_string || (c != ' ' && c != '\n')) stripped += c;
  }
  EXPECT_EQ(compact(span), stripped);
}

TEST(SpanJson, CustomProviderCompact) {
  const std::string text = compact(fixed_span(LLMProvider::custom("my-gateway")));
  EXPECT_NE(text.find(",\"provider\":{\"Custom\":\"my-gateway\"},"), std::string::npos);
  EXPECT_NE(compact(fixed_span(LLMProvider::Kind::VLLm)).find("\"provider\":\"VLLm\""), std::string::npos);
}

TEST(SpanJson, CopiesWriteTagsInTheSameOrder) {
  TraceSpan span = fixed_span();
  for (int i = 0; i < 30; ++i) span.tags.insert_or_assign("tag" + std::to_string(i), std::to_string(i));
  const TraceSpan copy = span;
  EXPECT_EQ(compact(copy), compact(span));
}

struct Escape {
  std::string text;
  std::string json;
};

class StringEscaping : public testing::TestWithParam<Escape> {};

TEST_P(StringEscaping, Writes) { EXPECT_EQ(string(GetParam().text), GetParam().json); }

INSTANTIATE_TEST_SUITE_P(
    Texts, StringEscaping,
    testing::Values(Escape{"tab\there", "\"tab\\there\""}, Escape{"a\nb", "\"a\\nb\""},
                    Escape{"say \"hi\"", "\"say \\\"hi\\\"\""}, Escape{"C:\\dir", "\"C:\\\\dir\""},
                    Escape{std::string("\x01\x1b\x1f", 3), "\"\\u0001\\u001b\\u001f\""},
                    Escape{std::string("\0", 1), "\"\\u0000\""}, Escape{"\b\f\r", "\"\\b\\f\\r\""},
                    Escape{"a/b\x7f", "\"a/b\x7f\""}, Escape{"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\""},
                    Escape{"", "\"\""},
                    // Escapes at every offset of the 16-byte blocks, and long clean runs.
                    Escape{std::string(15, 'a') + "\n" + std::string(16, 'b') + "\"",
                           "\"" + std::string(15, 'a') + "\\n" + std::string(16, 'b') + "\\\"\""},
                    Escape{std::string(33, 'x') + "\t", "\"" + std::string(33, 'x') + "\\t\""},
                    Escape{std::string(40, '\n'), "\"" + [] {
                             std::string s;
                             for (int i = 0; i < 40; ++i) s += "\\n";
                             return s;
                           }() + "\""}));

TEST(JsonWriter, KnowsWhetherItWroteOnlyAscii) {
  for (const std::string& text : {std::string(100, 'a'), std::string("tab\t\"q\""), std::string()}) {
    JsonWriter out(JsonLayout::Indented);
    out.begin_object();
    out.key(text);
    out.string(text);
    out.end_object();
    EXPECT_TRUE(out.is_ascii()) << text;
  }
  // A byte >= 0x80 anywhere in a text: first, last, inside a block, in a key.
  for (std::size_t at : {0u, 5u, 15u, 16u, 31u, 40u}) {
    std::string text(41, 'a');
    text.replace(at, 1, "\xC3");
    JsonWriter as_value(JsonLayout::Compact);
    as_value.string(text);
    EXPECT_FALSE(as_value.is_ascii()) << at;
    JsonWriter as_key(JsonLayout::Compact);
    as_key.begin_object();
    as_key.key(text);
    as_key.null();
    as_key.end_object();
    EXPECT_FALSE(as_key.is_ascii()) << at;
  }
}

// Two bytes to escape in one 32-byte block, every distance apart and at
// every offset: the clean run between them is copied whole.
TEST(StringEscaping, RunsBetweenEscapesOfAnyLength) {
  for (std::size_t first = 0; first < 32; ++first) {
    for (std::size_t gap = 1; first + gap < 48; ++gap) {
      std::string text(64, 'x');
      for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
      text[first] = '"';
      text[first + gap] = '\\';
      std::string expected = "\"";
      for (char c : text) {
        if (c == '"' || c == '\\') expected += '\\';
        expected += c;
      }
      expected += '"';
      ASSERT_EQ(string(text), expected) << first << " " << gap;
    }
  }
}

TEST(JsonWriter, StartsAt128BytesAndRejectsMisuse) {
  JsonWriter out(JsonLayout::Compact);
  out.begin_array();
  out.end_array();
  EXPECT_EQ(out.view(), "[]");
  EXPECT_THROW(out.end_array(), std::logic_error);
  EXPECT_THROW(out.element(), std::logic_error);
  EXPECT_THROW(out.key("k"), std::logic_error);
}

TEST(StringEscaping, LongTextWithEscapesEverywhere) {
  std::string text;
  std::string expected = "\"";
  for (int i = 0; i < 100000; ++i) {
    const char c = static_cast<char>(i % 128);
    text += c;
    if (c == '"' || c == '\\') {
      expected += '\\';
      expected += c;
    } else if (c == '\n') {
      expected += "\\n";
    } else if (c == '\t') {
      expected += "\\t";
    } else if (c == '\r') {
      expected += "\\r";
    } else if (c == '\b') {
      expected += "\\b";
    } else if (c == '\f') {
      expected += "\\f";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      expected += buf;
    } else {
      expected += c;
    }
  }
  expected += '"';
  EXPECT_EQ(string(text), expected);
}

// Texts that end right at the end of a readable page, the next page
// inaccessible: writing them must not read a byte past their end.
TEST(StringEscaping, NeverReadsPastTheText) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* mapping = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  char* base = static_cast<char*>(mapping);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  for (std::size_t len = 0; len <= 40; ++len) {
    for (const char filler : {'a', '\n', '"'}) {
      char* text = base + page - len;
      std::memset(text, filler, len);
      std::string expected = "\"";
      for (std::size_t i = 0; i < len; ++i) expected += filler == 'a' ? "a" : filler == '\n' ? "\\n" : "\\\"";
      expected += '"';
      EXPECT_EQ(string(std::string_view(text, len)), expected) << len;
    }
  }
  munmap(mapping, 2 * page);
}

// Every scan against a byte-at-a-time escaper, around each block size (8,
// 16, 32, the 32-byte short path, 64) and across the end of the text.
std::string reference_json(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (byte < 0x20) {
          char code[8];
          std::snprintf(code, sizeof code, "\\u%04x", byte);
          out += code;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// Each text is written from the end of a readable page whose next page is
// inaccessible, so a scan that reads a byte past the text crashes the test
// in any build, not only under the address sanitizer.
class EveryScan : public testing::TestWithParam<EscapeScan> {
 protected:
  void SetUp() override {
    if (!escape_scan_available(GetParam())) GTEST_SKIP() << "not available on this machine";
    ASSERT_TRUE(use_escape_scan(GetParam()));
    mapping_ = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping_, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char*>(mapping_) + page_, page_, PROT_NONE), 0);
  }
  void TearDown() override {
    use_escape_scan(before_);
    if (mapping_ != MAP_FAILED) munmap(mapping_, 2 * page_);
  }

  // Writes `text` as a value and as a key, checking both against the
  // reference and the ASCII flag against the bytes.
  void check(const std::string& text) const {
    ASSERT_LE(text.size(), page_);
    char* const placed = static_cast<char*>(mapping_) + page_ - text.size();
    std::memcpy(placed, text.data(), text.size());
    const std::string_view at_page_end(placed, text.size());
    const std::string expected = reference_json(text);
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    JsonWriter value(JsonLayout::Compact, 1);
    value.string(at_page_end);
    ASSERT_EQ(value.view(), expected) << testing::PrintToString(text);
    EXPECT_EQ(value.is_ascii(), ascii);
    JsonWriter key(JsonLayout::Compact);
    key.begin_object();
    key.key(at_page_end);
    key.null();
    key.end_object();
    ASSERT_EQ(key.view(), "{" + expected + ":null}");
  }

 private:
  EscapeScan before_ = escape_scan();
  std::size_t page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* mapping_ = MAP_FAILED;
};

// One letter run, broken by escapes of each form and a byte >= 0x80.
std::string letters(std::size_t length) {
  std::string text(length, 'x');
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}
constexpr char kEscapes[] = {'"', '\\', '\n', '\x01', '\x1f', '\t'};

TEST_P(EveryScan, EveryPairOfEscapePositions) {
  for (std::size_t length = 0; length <= 80; ++length) {
    check(letters(length));
    for (std::size_t first = 0; first < length; ++first) {
      for (std::size_t second = first; second < length; ++second) {
        std::string text = letters(length);
        text[first] = kEscapes[(first + length) % std::size(kEscapes)];
        text[second] = second == first ? text[first] : kEscapes[second % std::size(kEscapes)];
        if (length % 3 == 0 && second + 1 < length) text[second + 1] = '\xC3';
        check(text);
      }
    }
  }
}

// Escapes every `gap` bytes over several blocks of every width, and the
// text ending at every offset of the last block.
TEST_P(EveryScan, EscapesAtEveryDistance) {
  for (std::size_t gap = 1; gap <= 70; ++gap) {
    for (std::size_t length = 64; length <= 200; ++length) {
      std::string text = letters(length);
      for (std::size_t i = gap - 1; i < length; i += gap) text[i] = kEscapes[i % std::size(kEscapes)];
      check(text);
    }
  }
}

// Random texts, mostly escapes in some and mostly letters in others.
TEST_P(EveryScan, RandomTextsMatchTheReference) {
  std::mt19937 random(20250301);
  for (int round = 0; round < 4000; ++round) {
    const auto length = std::uniform_int_distribution<std::size_t>(0, 300)(random);
    const auto escape_percent = std::uniform_int_distribution<unsigned>(0, 100)(random);
    std::string text(length, ' ');
    for (char& c : text) {
      const bool escape = std::uniform_int_distribution<unsigned>(1, 100)(random) <= escape_percent;
      c = static_cast<char>(escape ? std::uniform_int_distribution<int>(0, 0x1F)(random) | (random() % 4 == 0 ? '"' : 0)
                                   : std::uniform_int_distribution<int>(0x20, 0xFF)(random));
    }
    check(text);
  }
}

std::string scan_name(const testing::TestParamInfo<EscapeScan>& info) {
  constexpr const char* kNames[] = {"Portable", "Sse2", "Avx2"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Scans, EveryScan,
                         testing::Values(EscapeScan::Portable, EscapeScan::Sse2, EscapeScan::Avx2), scan_name);

struct Number {
  double value;
  const char* json;
};

class Numbers : public testing::TestWithParam<Number> {};

TEST_P(Numbers, ShortestDigitsLaidOut) { EXPECT_EQ(number(GetParam().value), GetParam().json); }

INSTANTIATE_TEST_SUITE_P(
    Values, Numbers,
    testing::Values(Number{1.0, "1.0"}, Number{3.0, "3.0"}, Number{0.25, "0.25"}, Number{0.1, "0.1"},
                    Number{123.456, "123.456"}, Number{0.00001, "0.00001"}, Number{0.000001, "1e-6"},
                    Number{0.00000025, "2.5e-7"}, Number{1e15, "1000000000000000.0"}, Number{1e16, "1e+16"},
                    Number{1.5e300, "1.5e+300"}, Number{0.0, "0.0"}, Number{-0.0, "-0.0"}, Number{-2.5, "-2.5"},
                    Number{123456789012345.6, "123456789012345.6"}, Number{1.2345678901234567e15, "1234567890123456.8"},
                    Number{5e-324, "5e-324"}, Number{1.7976931348623157e308, "1.7976931348623157e+308"},
                    Number{-0.000012, "-0.000012"}, Number{100.0, "100.0"},
                    Number{std::numeric_limits<double>::quiet_NaN(), "null"},
                    Number{std::numeric_limits<double>::infinity(), "null"},
                    Number{-std::numeric_limits<double>::infinity(), "null"}));

TEST(SpanJson, IntegersAndNaNCost) {
  TraceSpan span = fixed_span();
  span.estimated_cost_usd = std::nan("");
  span.status_code = 504;
  const std::string text = compact(span);
  EXPECT_NE(text.find("\"status_code\":504,"), std::string::npos);
  EXPECT_NE(text.find("\"estimated_cost_usd\":null,"), std::string::npos);
  span.estimated_cost_usd = 3;
  EXPECT_NE(compact(span).find("\"estimated_cost_usd\":3.0,"), std::string::npos);
}

TEST(FindingSummaries, SortedKeysAndLowerCaseLabels) {
  std::vector<SecurityFinding> findings;
  findings.push_back({id(7), SecuritySeverity::Critical, "pii", "email address", at(0), std::nan(""),
                      std::string("prompt"), StringMap(), true});
  findings.push_back({id(8), SecuritySeverity::Info, "note", "d", at(0), 0.75, std::nullopt, StringMap(), false});
  JsonWriter out(JsonLayout::Compact);
  write_finding_summaries(out, findings);
  EXPECT_EQ(out.view(),
            "[{\"confidence_score\":null,\"description\":\"email address\",\"finding_type\":\"pii\","
            "\"id\":\"00000000-0000-4000-8000-000000000007\",\"location\":\"prompt\",\"requires_alert\":true,"
            "\"severity\":\"critical\"},"
            "{\"confidence_score\":0.75,\"description\":\"d\",\"finding_type\":\"note\","
            "\"id\":\"00000000-0000-4000-8000-000000000008\",\"location\":null,\"requires_alert\":false,"
            "\"severity\":\"info\"}]");
  JsonWriter empty(JsonLayout::Compact);
  write_finding_summaries(empty, {});
  EXPECT_EQ(empty.view(), "[]");
}

TEST(JsonWriter, GrowsFromItsInitialCapacity) {
  JsonWriter out(JsonLayout::Indented, 1);
  out.begin_array();
  for (int i = 0; i < 1000; ++i) {
    out.element();
    out.uint(static_cast<std::uint64_t>(i));
  }
  out.end_array();
  EXPECT_EQ(out.view().substr(0, 9), "[\n  0,\n  ");
  EXPECT_EQ(out.view().substr(out.size() - 7), "  999\n]");
}

// A document written in a StringStorage is the one a writer's own block
// holds, through growth past the first capacity; take() trims the string to
// it and gives back a block much larger than the text.
TEST(JsonWriter, WritesTheSameTextInAStringStorage) {
  for (const int count : {0, 3, 1000}) {
    JsonWriter own(JsonLayout::Compact, 16);
    StringStorage storage;
    JsonWriter kept(JsonLayout::Compact, storage, 16);
    for (JsonWriter* out : {&own, &kept}) {
      out->begin_array();
      for (int i = 0; i < count; ++i) {
        out->element();
        out->string("item \"" + std::to_string(i) + "\"");
      }
      out->end_array();
    }
    const std::string text = storage.take(kept);
    EXPECT_EQ(text, own.view());
    EXPECT_LE(text.capacity(), 2 * text.size() + 64);
  }
}

}  // namespace
}  // namespace korvanta
