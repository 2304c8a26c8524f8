// UTF-8 validation and repair for the OTLP encoder's string fields.
#include "otlp_utf8.hpp"

#include <cstdint>
#include <cstring>

#include "ascii_run.hpp"

namespace korvanta::otlp {
namespace {

using detail::skip_ascii;

// Length of the well-formed character starting at text[i], or 0 when the
// byte there starts none (Unicode's table of well-formed byte sequences).
std::size_t char_length(std::string_view text, std::size_t i) noexcept {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char b0 = at(0);
  if (b0 < 0x80) return 1;
  const std::size_t left = text.size() - i;
  const auto cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF) return left >= 2 && cont(at(1)) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 3 || !cont(at(1)) || !cont(at(2))) return 0;
    // E0 needs A0..BF next (no overlong form), ED 80..9F (no surrogate).
    if (b0 == 0xE0 && at(1) < 0xA0) return 0;
    if (b0 == 0xED && at(1) > 0x9F) return 0;
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 4 || !cont(at(1)) || !cont(at(2)) || !cont(at(3))) return 0;
    // F0 needs 90..BF next (no overlong form), F4 80..8F (nothing past U+10FFFF).
    if (b0 == 0xF0 && at(1) < 0x90) return 0;
    if (b0 == 0xF4 && at(1) > 0x8F) return 0;
    return 4;
  }
  return 0;
}

// memcpy with a size of zero may still be given the null data() of an empty
// view, which the C library's contract does not allow.
void copy(char* out, const char* from, std::size_t n) noexcept {
  if (n != 0) std::memcpy(out, from, n);
}

constexpr char kReplacement[] = "\xEF\xBF\xBD";
constexpr std::size_t kReplacementSize = sizeof kReplacement - 1;

}  // namespace

std::size_t utf8_repaired_size(std::string_view text) noexcept {
  std::size_t size = text.size();
  for (std::size_t i = skip_ascii(text, 0); i < text.size(); i = skip_ascii(text, i)) {
    const std::size_t len = char_length(text, i);
    if (len == 0) {
      size += kReplacementSize - 1;
      ++i;
    } else {
      i += len;
    }
  }
  return size;
}

char* write_utf8_repaired(char* out, std::string_view text) noexcept {
  std::size_t run = 0;  // start of the valid bytes not yet copied
  for (std::size_t i = skip_ascii(text, 0); i < text.size(); i = skip_ascii(text, i)) {
    const std::size_t len = char_length(text, i);
    if (len != 0) {
      i += len;
      continue;
    }
    copy(out, text.data() + run, i - run);
    out += i - run;
    std::memcpy(out, kReplacement, kReplacementSize);
    out += kReplacementSize;
    run = ++i;
  }
  copy(out, text.data() + run, text.size() - run);
  return out + (text.size() - run);
}

}  // namespace korvanta::otlp
