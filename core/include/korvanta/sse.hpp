// Server-sent event framing: where the events of a byte stream end, so that
// a reader can pass on or hold back whole events as the bytes arrive.
#pragma once

#include <cstddef>
#include <optional>
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

// A byte stream's lines as its pieces arrive, as an event decoder reads
// them: "\r\n", "\n" and "\r" end a line (a "\r" that ends one piece pairs
// with a "\n" that starts the next), and a line may span pieces. Each piece
// is read once, however its lines fall.
class SseLines {
 public:
  // Starts on the next piece; the lines before are all taken. The piece's
  // bytes must stay alive until next() has no more of its lines.
  void feed(std::string_view piece);
  // The next complete line, without its terminator, valid until the next
  // call; nothing when the piece holds no more (its rest is kept).
  std::optional<std::string_view> next();
  // At the end of the stream: the unterminated last line, if it is not empty.
  std::optional<std::string_view> finish();

 private:
  std::string_view piece_;
  std::size_t pos_ = 0;
  bool piece_has_cr_ = false;
  bool skip_lf_ = false;  // the last line ended in "\r": a "\n" next is its terminator's
  std::string held_;      // the start of a line that began in an earlier piece
  std::string line_;      // a line joined from pieces, handed out by next()
};

}  // namespace korvanta
