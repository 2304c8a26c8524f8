// libFuzzer target for server-sent event framing over arbitrary bytes.
//
// Checks, for every input (its first byte chooses where to cut the rest):
//  - framing never crashes or reads outside the bytes (ASan/UBSan watch that);
//  - the events lie back to back from the start, each non-empty, and end
//    where the first incomplete event begins;
//  - framing the bytes in two parts (up to the cut, then from where the
//    first part's incomplete event begins) finds the same events as framing
//    them whole, as a reader that holds back incomplete events relies on,
//    and so does going on from where the first part's framing stopped;
//  - an event's data is never longer than the event;
//  - reading the bytes as lines in two pieces, cut there, gives the lines
//    read in one, none holding a line end;
//  - reading the input, or an event's data, as a usage chunk never crashes,
//    and a chunk read gives its counts as integer literals and its model
//    and id as text inside the data, free of escapes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "korvanta/sse.hpp"
#include "korvanta/usage_chunk.hpp"

namespace {

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "sse_fuzzer: %s\n  input (%zu bytes): ", what, input.size());
  for (unsigned char c : input) std::fprintf(stderr, "\\x%02x", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

// The events' bytes, checked to lie back to back up to `consumed`.
std::vector<std::string_view> events_of(std::string_view bytes, std::size_t& consumed, std::string_view input) {
  const korvanta::SseFraming framing = korvanta::frame_events(bytes);
  std::vector<std::string_view> events;
  std::size_t at = 0;
  for (const korvanta::SseEvent& event : framing.events) {
    if (event.begin != at || event.end <= event.begin || event.end > bytes.size()) fail("events not back to back", input);
    events.push_back(bytes.substr(event.begin, event.end - event.begin));
    at = event.end;
  }
  if (framing.consumed != at) fail("consumed is not the end of the last event", input);
  consumed = framing.consumed;
  return events;
}

bool within(std::string_view part, std::string_view whole) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

bool integer_literal(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty() || (text.size() > 1 && text.front() == '0')) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void check_usage_chunk(std::string_view data, std::string_view input) {
  const korvanta::UsageChunk read = korvanta::read_usage_chunk(data);
  if (read.verdict != korvanta::UsageChunkVerdict::Usage) return;
  for (std::string_view count : {read.prompt_tokens, read.completion_tokens, read.cached_tokens, read.reasoning_tokens}) {
    if (!within(count, data) || (!count.empty() && !integer_literal(count))) fail("a count that is no integer", input);
  }
  for (const auto& text : {read.model, read.id}) {
    if (text && (!within(*text, data) || text->find('\\') != std::string_view::npos)) fail("a model or id that is no plain text", input);
  }
}

// The lines of `pieces` read one after another, checked to hold no line end.
std::vector<std::string> lines_of(std::initializer_list<std::string_view> pieces, std::string_view input) {
  korvanta::SseLines lines;
  std::vector<std::string> found;
  const auto take = [&](std::string_view line) {
    if (line.find_first_of("\r\n") != std::string_view::npos) fail("a line holds a line end", input);
    found.emplace_back(line);
  };
  for (std::string_view piece : pieces) {
    lines.feed(piece);
    while (const auto line = lines.next()) take(*line);
  }
  if (const auto last = lines.finish()) take(*last);
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view bytes = input.substr(1);
  const std::size_t cut = bytes.empty() ? 0 : static_cast<std::uint8_t>(input[0]) % (bytes.size() + 1);

  std::size_t consumed = 0;
  const std::vector<std::string_view> whole = events_of(bytes, consumed, input);
  std::size_t first_consumed = 0;
  std::vector<std::string_view> parts = events_of(bytes.substr(0, cut), first_consumed, input);
  std::size_t rest_consumed = 0;
  for (std::string_view event : events_of(bytes.substr(first_consumed), rest_consumed, input)) parts.push_back(event);
  if (parts.size() != whole.size()) fail("cutting the bytes changed the number of events", input);
  const korvanta::SseFraming first = korvanta::frame_events(bytes.substr(0, cut));
  if (first.scanned < first.consumed || first.scanned > cut) fail("scanned outside the bytes", input);
  const korvanta::SseFraming resumed =
      korvanta::frame_events(bytes.substr(first.consumed), first.scanned - first.consumed);
  if (first.events.size() + resumed.events.size() != whole.size()) fail("going on changed the number of events", input);
  for (std::size_t i = 0; i < resumed.events.size(); ++i) {
    const korvanta::SseEvent& event = resumed.events[i];
    if (bytes.substr(first.consumed + event.begin, event.end - event.begin) != whole[first.events.size() + i]) {
      fail("going on changed an event", input);
    }
  }
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (parts[i] != whole[i]) fail("cutting the bytes changed an event", input);
    const std::string data = korvanta::event_data(whole[i]);
    if (data.size() > whole[i].size()) fail("data longer than its event", input);
    check_usage_chunk(data, input);
  }
  check_usage_chunk(bytes, input);
  if (lines_of({bytes.substr(0, cut), bytes.substr(cut)}, input) != lines_of({bytes}, input)) {
    fail("cutting the bytes changed the lines", input);
  }
  return 0;
}
