// Lookups over the generated Unicode tables (unicode_tables.hpp): the repr
// escape class and str.lower() on UTF-8 with the Final_Sigma rule.
#include "unicode_data.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "korvanta/code_points.hpp"
#include "unicode_tables.hpp"

namespace korvanta::py::unicode {
namespace {

// The one language-free conditional lowercase mapping: capital sigma is
// final sigma at the end of a word, small sigma elsewhere. The generator
// stops if the data ever says otherwise.
constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

template <std::size_t N>
bool in_ranges(const db::Range (&table)[N], char32_t cp) noexcept {
  // First range whose end is not below cp.
  const auto* it = std::lower_bound(std::begin(table), std::end(table), cp,
                                    [](const db::Range& r, char32_t c) { return r.last < c; });
  return it != std::end(table) && it->first <= cp;
}

bool is_cased(char32_t cp) noexcept { return in_ranges(db::cased_ranges, cp); }

bool is_case_ignorable(char32_t cp) noexcept { return in_ranges(db::case_ignorable_ranges, cp); }

// Simple lowercase of cp, or cp itself when it has none.
char32_t simple_lower(char32_t cp) noexcept {
  // The candidate is the last run starting at or before cp: runs never
  // overlap, so no other run can hold it.
  const auto* after = std::upper_bound(std::begin(db::lower_runs), std::end(db::lower_runs), cp,
                                       [](char32_t c, const db::LowerRun& r) { return c < r.first; });
  if (after == std::begin(db::lower_runs)) return cp;
  const db::LowerRun& run = *(after - 1);
  const char32_t offset = cp - run.first;
  if (offset % run.stride != 0 || offset / run.stride >= run.count) return cp;
  return static_cast<char32_t>(static_cast<std::int32_t>(cp) + run.delta);
}

const db::LowerMulti* multi_lower(char32_t cp) noexcept {
  const auto* it = std::lower_bound(std::begin(db::lower_multi), std::end(db::lower_multi), cp,
                                    [](const db::LowerMulti& m, char32_t c) { return m.cp < c; });
  return it != std::end(db::lower_multi) && it->cp == cp ? it : nullptr;
}

// The character that ends just before text[end], end > 0, and where it
// starts: back over at most three continuation bytes, then check that they
// decode as one sequence of exactly that length. Anything else is a stray
// byte, taken alone (length 0).
utf8::Decoded decode_before(std::string_view text, std::size_t end, std::size_t& start) noexcept {
  std::size_t i = end - 1;
  while (i > 0 && end - i < 4 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) --i;
  const utf8::Decoded d = utf8::decode(text.substr(0, end), i);
  if (d.length != 0 && i + d.length == end) {
    start = i;
    return d;
  }
  start = end - 1;
  return {utf8::kInvalid, 0};
}

// Final_Sigma, decided the way CPython's str.lower() does: going back from
// the sigma, skip Case_Ignorable characters; the first other one must be
// Cased. Going forward, skip Case_Ignorable characters; the first other one,
// if any, must not be Cased. A character that is both Cased and
// Case_Ignorable (U+02B0 MODIFIER LETTER SMALL H, say) is skipped.
bool is_final_sigma(std::string_view text, std::size_t at, std::size_t after) noexcept {
  bool before_cased = false;
  for (std::size_t i = at; i > 0;) {
    std::size_t start = 0;
    const utf8::Decoded d = decode_before(text, i, start);
    if (d.length == 0) break;  // not a character: neither cased nor skippable
    if (!is_case_ignorable(d.cp)) {
      before_cased = is_cased(d.cp);
      break;
    }
    i = start;
  }
  if (!before_cased) return false;
  for (std::size_t j = after; j < text.size();) {
    const utf8::Decoded d = utf8::decode(text, j);
    if (d.length == 0) return true;
    if (!is_case_ignorable(d.cp)) return !is_cased(d.cp);
    j += d.length;
  }
  return true;
}

}  // namespace

bool needs_debug_escape(char32_t cp) noexcept {
  if (cp < 0x100) return ((db::escape_latin1[cp >> 6] >> (cp & 63)) & 1) != 0;
  if (cp > 0x10FFFF) return true;
  return in_ranges(db::escape_ranges, cp);
}

void append_lowercase(std::string& out, std::string_view utf8) {
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    if (static_cast<unsigned char>(utf8[i]) < 0x80) {
      // A run of ASCII is copied at once and lowered in place.
      std::size_t j = i + 1;
      while (j < n && static_cast<unsigned char>(utf8[j]) < 0x80) ++j;
      const std::size_t base = out.size();
      out.append(utf8.data() + i, j - i);
      for (std::size_t k = base; k < out.size(); ++k) {
        const char c = out[k];
        if (c >= 'A' && c <= 'Z') out[k] = static_cast<char>(c + ('a' - 'A'));
      }
      i = j;
      continue;
    }
    const utf8::Decoded d = utf8::decode(utf8, i);
    if (d.length == 0) {
      // Not reachable from a Python str; keep the byte as it is.
      out.push_back(utf8[i]);
      ++i;
      continue;
    }
    const std::size_t next = i + d.length;
    if (d.cp == kCapitalSigma) {
      utf8::append(out, is_final_sigma(utf8, i, next) ? kFinalSigma : kSmallSigma);
    } else if (const db::LowerMulti* multi = multi_lower(d.cp)) {
      out.append(multi->utf8);
    } else {
      utf8::append(out, simple_lower(d.cp));
    }
    i = next;
  }
}

}  // namespace korvanta::py::unicode
