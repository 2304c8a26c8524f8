// Server-sent event framing: where the events of a byte stream end, so that
// a reader can pass on or hold back whole events as the bytes arrive.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvanta {

// One event's bytes, [begin, end), up to and including the blank line that
// ends it.
struct SseEvent {
  std::size_t begin = 0;
  std::size_t end = 0;
};

struct SseFraming {
  std::vector<SseEvent> events;  // the complete events, in order, back to back from 0
  std::size_t consumed = 0;      // where the first incomplete event begins
  std::size_t scanned = 0;       // where the first incomplete line begins
};

// The complete events at the start of `bytes`. Lines end in "\r\n", "\n" or
// "\r", and a blank line ends an event. A "\r" as the last byte ends nothing
// yet: it may be the first half of "\r\n".
//
// A reader that holds an incomplete event while more bytes arrive need not
// read its lines again: `resume` is where an earlier framing of the bytes
// held then stopped (its `scanned` less its `consumed`, once the events it
// found are taken off the front), and framing goes on from there. Each byte
// is then read once however many pieces an event arrives in.
SseFraming frame_events(std::string_view bytes, std::size_t resume = 0);

// An event's data: the values of its "data" lines (one leading space
// dropped), joined by "\n".
std::string event_data(std::string_view event);

}  // namespace korvanta
