// Server-sent event framing.
#include "korvanta/sse.hpp"

#include <algorithm>
#include <cstring>

namespace korvanta {
namespace {

// The line that starts at `pos`: where it ends (its terminator's first
// byte) and where the next line starts; npos for both when no terminator
// is complete yet.
struct Line {
  std::size_t end;
  std::size_t next;
};

constexpr std::size_t npos = std::string_view::npos;

Line next_line(std::string_view bytes, std::size_t pos, bool has_cr) {
  const std::size_t n = bytes.size();
  if (!has_cr) {
    const void* found = std::memchr(bytes.data() + pos, '\n', n - pos);
    if (found == nullptr) return {npos, npos};
    const auto end = static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data());
    return {end, end + 1};
  }
  for (std::size_t i = pos; i < n; ++i) {
    if (bytes[i] == '\n') return {i, i + 1};
    if (bytes[i] == '\r') {
      if (i + 1 == n) return {npos, npos};  // maybe the first half of "\r\n"
      return {i, bytes[i + 1] == '\n' ? i + 2 : i + 1};
    }
  }
  return {npos, npos};
}

}  // namespace

SseFraming frame_events(std::string_view bytes, std::size_t resume) {
  SseFraming framing;
  // Room for the events of a piece of usual chunks (a few hundred bytes
  // each) at once, instead of growing the list event by event.
  framing.events.reserve(std::min<std::size_t>(bytes.size() / 128 + 1, 1024));
  std::size_t pos = resume < bytes.size() ? resume : bytes.size();
  const bool has_cr = std::memchr(bytes.data() + pos, '\r', bytes.size() - pos) != nullptr;
  std::size_t event_begin = 0;
  while (pos < bytes.size()) {
    const Line line = next_line(bytes, pos, has_cr);
    if (line.next == npos) break;
    if (line.end == pos) {  // a blank line: the event ends with it
      framing.events.push_back({event_begin, line.next});
      event_begin = line.next;
    }
    pos = line.next;
  }
  framing.consumed = event_begin;
  framing.scanned = pos;
  return framing;
}

std::string event_data(std::string_view event) {
  std::string data;
  bool first = true;
  const bool has_cr = std::memchr(event.data(), '\r', event.size()) != nullptr;
  std::size_t pos = 0;
  while (pos < event.size()) {
    Line line = next_line(event, pos, has_cr);
    if (line.next == npos) line = {event.size(), event.size()};  // an unterminated last line
    std::string_view text = event.substr(pos, line.end - pos);
    pos = line.next;
    const std::size_t colon = text.find(':');
    if (text.substr(0, colon) != "data") continue;
    std::string_view value = colon == npos ? std::string_view() : text.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (!first) data += '\n';
    data.append(value);
    first = false;
  }
  return data;
}

void SseLines::feed(std::string_view piece) {
  piece_ = piece;
  pos_ = 0;
  piece_has_cr_ = std::memchr(piece.data(), '\r', piece.size()) != nullptr;
}

std::optional<std::string_view> SseLines::next() {
  for (;;) {
    std::size_t end = npos;
    if (pos_ < piece_.size()) {
      if (!piece_has_cr_) {
        const void* found = std::memchr(piece_.data() + pos_, '\n', piece_.size() - pos_);
        if (found != nullptr) end = static_cast<std::size_t>(static_cast<const char*>(found) - piece_.data());
      } else {
        for (std::size_t i = pos_; i < piece_.size(); ++i) {
          if (piece_[i] == '\n' || piece_[i] == '\r') {
            end = i;
            break;
          }
        }
      }
    }
    if (end == npos) {
      // The rest starts a line that later pieces finish.
      if (pos_ < piece_.size()) {
        skip_lf_ = false;
        held_.append(piece_.substr(pos_));
        pos_ = piece_.size();
      }
      return std::nullopt;
    }
    if (skip_lf_ && end == pos_ && piece_[end] == '\n') {  // the "\n" of a "\r\n" split by the pieces
      skip_lf_ = false;
      pos_ = end + 1;
      continue;
    }
    skip_lf_ = piece_[end] == '\r';
    const std::string_view part = piece_.substr(pos_, end - pos_);
    pos_ = end + 1;
    if (held_.empty()) return part;
    held_.append(part);
    line_.swap(held_);
    held_.clear();
    return std::string_view(line_);
  }
}

std::optional<std::string_view> SseLines::finish() {
  if (held_.empty()) return std::nullopt;
  line_.swap(held_);
  held_.clear();
  return std::string_view(line_);
}

}  // namespace korvanta
