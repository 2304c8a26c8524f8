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
};

// The complete events at the start of `bytes`. Lines end in "\r\n", "\n" or
// "\r", and a blank line ends an event. A "\r" as the last byte ends nothing
// yet: it may be the first half of "\r\n".
SseFraming frame_events(std::string_view bytes);

// An event's data: the values of its "data" lines (one leading space
// dropped), joined by "\n".
std::string event_data(std::string_view event);

}  // namespace korvanta
