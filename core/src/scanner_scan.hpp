// The state of one scan over one text, shared by the prefilter and the rule
// validators: byte classes, bounded reads that count their work, the memo of
// runs already measured, and the sink that orders matches and settles
// overlaps.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "korvanta/scanner.hpp"

namespace korvanta::scanner_detail {

// ---- byte classes ----

enum : std::uint16_t {
  kDigit = 1 << 0,
  kUpper = 1 << 1,
  kLower = 1 << 2,
  kUnderscore = 1 << 3,
  kDash = 1 << 4,
  kPlus = 1 << 5,
  kSlash = 1 << 6,
  kEquals = 1 << 7,
  kDot = 1 << 8,
  kSpace = 1 << 9,  // space, tab, CR, LF, VT, FF
  kHigh = 1 << 10,  // any byte of a multi-byte UTF-8 character
  kHexLetter = 1 << 11,
  kQuote = 1 << 12,  // ' " `
  kOtherPunct = 1 << 13,
};
inline constexpr std::uint16_t kAlpha = kUpper | kLower;
inline constexpr std::uint16_t kAlnum = kAlpha | kDigit;
inline constexpr std::uint16_t kWord = kAlnum | kUnderscore;
inline constexpr std::uint16_t kB64Url = kWord | kDash;
inline constexpr std::uint16_t kB64 = kAlnum | kPlus | kSlash;
inline constexpr std::uint16_t kHex = kDigit | kHexLetter;

inline constexpr std::array<std::uint16_t, 256> kByteClass = [] {
  std::array<std::uint16_t, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] |= kDigit;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] |= kUpper;
  for (int c = 'a'; c <= 'z'; ++c) t[c] |= kLower;
  for (int c = 'a'; c <= 'f'; ++c) t[c] |= kHexLetter;
  for (int c = 'A'; c <= 'F'; ++c) t[c] |= kHexLetter;
  t['_'] |= kUnderscore;
  t['-'] |= kDash;
  t['+'] |= kPlus;
  t['/'] |= kSlash;
  t['='] |= kEquals;
  t['.'] |= kDot;
  for (int c : {' ', '\t', '\r', '\n', '\v', '\f'}) t[c] |= kSpace;
  for (int c = 0x80; c <= 0xFF; ++c) t[c] |= kHigh;
  for (int c : {'\'', '"', '`'}) t[c] |= kQuote;
  for (int c = 0x21; c < 0x7F; ++c) {
    if (t[c] == 0) t[c] = kOtherPunct;
  }
  return t;
}();

constexpr bool in_class(unsigned char c, std::uint16_t cls) noexcept { return (kByteClass[c] & cls) != 0; }
constexpr char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

enum class Priority : std::uint8_t { Generic, Specific };

// ---- one scan ----

class Scan {
 public:
  Scan(std::string_view text, TextKind kind, MatchCallback sink) noexcept : text(text), kind(kind), sink_(sink) {}

  const std::string_view text;
  const TextKind kind;
  // Prefilter hits below this position are skipped: the bytes are part of
  // a match already made, or of a run a validator has settled.
  std::size_t resume = 0;
  std::uint64_t candidates = 0;
  std::uint64_t work = 0;
  // The AWS rule's look-around for a secret access key: runs starting in
  // [from, to) hold no secret; `found` is the one at `to`, or npos when the
  // search stopped at the end of its window; the previous key id ended at
  // `key_end`. Keys close together share their searches instead of each
  // reading 512 bytes.
  struct {
    std::size_t from = 0, to = 0, found = std::string_view::npos, key_end = 0;
  } aws;

  std::size_t size() const noexcept { return text.size(); }
  // The byte at `i`, or 0 outside the text. Positions before 0 wrap around
  // to huge values and so read as 0 too, which keeps look-behind simple.
  unsigned char at(std::size_t i) const noexcept {
    return i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
  }
  bool is(std::size_t i, std::uint16_t cls) const noexcept { return in_class(at(i), cls); }

  // End of the run of `cls` bytes starting at `from`, at most `max` long.
  std::size_t span_fwd(std::size_t from, std::uint16_t cls, std::size_t max) noexcept {
    const std::size_t limit = from + std::min(max, text.size() > from ? text.size() - from : 0);
    std::size_t i = from;
    while (i < limit && in_class(static_cast<unsigned char>(text[i]), cls)) ++i;
    work += i - from + 1;
    return i;
  }
  // Start of the run of `cls` bytes ending at `to` (exclusive), at most
  // `max` long.
  std::size_t span_back(std::size_t to, std::uint16_t cls, std::size_t max) noexcept {
    to = std::min(to, text.size());
    const std::size_t limit = to - std::min(max, to);
    std::size_t i = to;
    while (i > limit && in_class(static_cast<unsigned char>(text[i - 1]), cls)) --i;
    work += to - i + 1;
    return i;
  }
  // End of the maximal run of `cls` bytes that starts at `from`, however
  // long. Runs already measured are remembered, so that many hits inside one
  // long run (think "eyJeyJeyJ...") measure it once, not once per hit.
  std::size_t run_end(std::size_t from, std::uint16_t cls) noexcept;

  // Whether `lit` stands at `pos`, byte for byte / ASCII letters in any case
  // (`lit` is written in lower case).
  bool lit(std::size_t pos, std::string_view s) noexcept {
    if (pos > text.size() || text.size() - pos < s.size()) return false;
    for (std::size_t k = 0; k < s.size(); ++k) {
      if (text[pos + k] != s[k]) {
        work += k + 1;
        return false;
      }
    }
    work += s.size();
    return true;
  }
  bool ilit(std::size_t pos, std::string_view lower) noexcept {
    if (pos > text.size() || text.size() - pos < lower.size()) return false;
    for (std::size_t k = 0; k < lower.size(); ++k) {
      if (ascii_lower(text[pos + k]) != lower[k]) {
        work += k + 1;
        return false;
      }
    }
    work += lower.size();
    return true;
  }
  // First position in [from, from + max) holding `c`, or npos.
  std::size_t find(std::size_t from, char c, std::size_t max) noexcept {
    if (from >= text.size()) return std::string_view::npos;
    const std::size_t limit = std::min(text.size(), from + max);
    const std::string_view window = text.substr(from, limit - from);
    const std::size_t k = window.find(c);
    work += (k == std::string_view::npos ? window.size() : k) + 1;
    return k == std::string_view::npos ? k : from + k;
  }

  // Reports a match. Specific matches win over generic ones on the same
  // bytes; among equals the first stays. Matches that start inside one
  // already delivered are dropped, so the callback sees them in order and
  // without overlap.
  void emit(RuleId rule, std::size_t begin, std::size_t end, Priority priority = Priority::Specific);
  // Delivers the match held back for comparison; called once at the end of
  // each pass, after which the next pass starts a fresh order.
  void flush();

 private:
  struct Memo {
    std::uint16_t cls = 0;
    std::size_t from = 0;
    std::size_t end = 0;
  };

  void deliver(const TextMatch& m) {
    delivered_end_ = m.end;
    sink_(m);
  }

  MatchCallback sink_;
  TextMatch pending_{};
  Priority pending_priority_ = Priority::Generic;
  bool has_pending_ = false;
  std::size_t delivered_end_ = 0;
  std::array<Memo, 4> memo_{};
  std::size_t memo_next_ = 0;
};

// ---- the pass ----

// Runs the prefilter over the text and dispatches every candidate position
// to its validators.
void run_prefilter(Scan& s);
// The candidate positions alone, by the vector kernel (where the processor
// has one) or by the scalar loop: the two must agree, which the fuzzer
// checks.
std::vector<std::size_t> prefilter_positions(std::string_view text, bool vector_path);

// ---- the validators, one entry per prefilter trigger ----
//
// Each is called with the position of a prefilter hit and reads a bounded
// window around it (or a memoised run); it may emit matches and move
// `resume` forward.

// credentials (scanner_credentials.cpp)
void on_underscore(Scan& s, std::size_t i);
void on_dash(Scan& s, std::size_t i);
void on_colon(Scan& s, std::size_t i);
void on_equals(Scan& s, std::size_t i);
void on_dot_pair(Scan& s, std::size_t i);
void on_upper_pair(Scan& s, std::size_t i);
void on_jwt_or_gcp(Scan& s, std::size_t i);

// personal data (scanner_personal.cpp)
void on_at(Scan& s, std::size_t i);
void on_plus(Scan& s, std::size_t i);
void on_digit_run(Scan& s, std::size_t i);

// prompt injection (scanner_injection.cpp)
void on_injection_verb(Scan& s, std::size_t i);
void on_angle(Scan& s, std::size_t i);
void on_bracket(Scan& s, std::size_t i);
void on_hash(Scan& s, std::size_t i);
void on_hidden_char(Scan& s, std::size_t i);
// Line-start markers such as "new instructions:", tried by on_colon; true
// when one matched.
bool line_marker_before_colon(Scan& s, std::size_t i);
// "DAN"-style personas, tried by on_upper_pair.
void on_persona(Scan& s, std::size_t i);

// URLs (scanner_url.cpp): credentials in the authority, webhooks, and for
// Command text the hosts of cloud metadata endpoints. `i` is the ':' of
// "://".
void on_url(Scan& s, std::size_t i);

// The action rules' own pass over Command, Url and Path text
// (scanner_actions.cpp).
void scan_action_text(Scan& s);

}  // namespace korvanta::scanner_detail
