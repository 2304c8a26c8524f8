// Server-sent event framing: where events end, whatever the line endings
// and wherever the bytes are cut.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "korvanta/sse.hpp"

namespace korvanta {
namespace {

std::vector<std::string> events_of(std::string_view bytes, std::size_t* consumed = nullptr) {
  const SseFraming framing = frame_events(bytes);
  std::vector<std::string> events;
  std::size_t at = 0;
  for (const SseEvent& event : framing.events) {
    EXPECT_EQ(event.begin, at);  // back to back from the start
    events.emplace_back(bytes.substr(event.begin, event.end - event.begin));
    at = event.end;
  }
  EXPECT_EQ(framing.consumed, at);
  if (consumed != nullptr) *consumed = framing.consumed;
  return events;
}

struct Case {
  const char* bytes;
  std::vector<std::string> events;
  std::size_t consumed;
};

TEST(SseFraming, EventsEndAtBlankLinesWhateverTheLineEndings) {
  const Case cases[] = {
      {"data: a\n\ndata: b\n\n", {"data: a\n\n", "data: b\n\n"}, 18},
      {"data: a\r\n\r\ndata: b\r\rdata: c\n", {"data: a\r\n\r\n", "data: b\r\r"}, 20},
      {"data: a\n\ndata: b\n", {"data: a\n\n"}, 9},
      {"data: a\r\n\r", {}, 0},  // the last "\r" may be half of "\r\n"
      {": comment\nevent: x\ndata: 1\n\n", {": comment\nevent: x\ndata: 1\n\n"}, 28},
      {"", {}, 0},
  };
  for (const Case& c : cases) {
    std::size_t consumed = 0;
    EXPECT_EQ(events_of(c.bytes, &consumed), c.events) << c.bytes;
    EXPECT_EQ(consumed, c.consumed) << c.bytes;
  }
}

TEST(SseFraming, CuttingTheBytesAnywhereFindsTheSameEvents) {
  const std::string stream = "data: {\"a\":1}\r\n\r\ndata: x\ndata: y\n\n: keep-alive\n\ndata: [DONE]\r\r\n";
  const std::vector<std::string> whole = events_of(stream);
  ASSERT_EQ(whole.size(), 4U);
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    std::size_t consumed = 0;
    std::vector<std::string> found = events_of(std::string_view(stream).substr(0, cut), &consumed);
    for (std::string& event : events_of(stream.substr(consumed))) found.push_back(std::move(event));
    EXPECT_EQ(found, whole) << "cut at " << cut;
  }
}

// A reader fed one byte at a time, going on from where framing stopped,
// finds the events that framing the bytes whole finds.
TEST(SseFraming, GoingOnFromWhereFramingStoppedFindsTheSameEvents) {
  const std::string stream = "data: {\"a\":1}\r\n\r\ndata: x\ndata: y\n\n: keep-alive\n\ndata: [DONE]\r\r\n";
  const std::vector<std::string> whole = events_of(stream);
  std::vector<std::string> found;
  std::string held;
  std::size_t resume = 0;
  for (const char byte : stream) {
    held += byte;
    const SseFraming framing = frame_events(held, resume);
    ASSERT_LE(framing.consumed, framing.scanned);
    for (const SseEvent& event : framing.events) found.push_back(held.substr(event.begin, event.end - event.begin));
    held.erase(0, framing.consumed);
    resume = framing.scanned - framing.consumed;
  }
  EXPECT_EQ(found, whole);
}

TEST(SseFraming, DataLinesAreJoinedWithoutTheirFieldName) {
  EXPECT_EQ(event_data("data: {\"a\":\ndata:1}\n\n"), "{\"a\":\n1}");
  EXPECT_EQ(event_data("event: usage\r\ndata:  two spaces\r\nid: 7\r\n\r\n"), " two spaces");
  EXPECT_EQ(event_data(": comment\ndata\n\n"), "");
  EXPECT_EQ(event_data("data: unterminated"), "unterminated");
}

// The lines of `pieces` read one piece after another, then the last one.
std::vector<std::string> lines_of(const std::vector<std::string>& pieces) {
  SseLines lines;
  std::vector<std::string> found;
  for (const std::string& piece : pieces) {
    lines.feed(piece);
    while (const auto line = lines.next()) found.emplace_back(*line);
  }
  if (const auto last = lines.finish()) found.emplace_back(*last);
  return found;
}

// Every line ending, however the pieces cut the bytes (a CRLF split between
// pieces is one line end), and an unterminated last line.
TEST(SseLines, LinesEndAtCrLfOrCrlfWhereverThePiecesAreCut) {
  const std::string stream = "data: a\r\n\r\nid: 1\rdata:\r\r\n\nevent: x\n\ndata: tail";
  const std::vector<std::string> expected = {"data: a", "", "id: 1", "data:", "", "", "event: x", "", "data: tail"};
  EXPECT_EQ(lines_of({stream}), expected);
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    for (std::size_t second = cut; second <= stream.size(); second += 3) {
      EXPECT_EQ(lines_of({stream.substr(0, cut), stream.substr(cut, second - cut), stream.substr(second)}), expected)
          << "cut at " << cut << " and " << second;
    }
  }
  EXPECT_EQ(lines_of({"a\r", "", "\nb\n"}), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(lines_of({"a\r", "x", "\n"}), (std::vector<std::string>{"a", "x"}));
}

}  // namespace
}  // namespace korvanta
