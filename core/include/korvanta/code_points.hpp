// The one UTF-8 decoder of the library and its encoder: callers choose how
// lenient to be by what they do with a malformed sequence.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvanta::utf8 {

// Stands for a byte that does not start a well-formed character; never a
// code point, so it cannot be mistaken for one.
inline constexpr char32_t kInvalid = 0xFFFFFFFF;

struct Decoded {
  char32_t cp;         // kInvalid when length is 0
  std::size_t length;  // bytes taken; 0: text[i] starts no valid character
};

// Strict decode of the character starting at text[i], i < text.size().
// Overlong forms, surrogates, values past U+10FFFF and sequences cut short by
// the end of `text` are all malformed. Reads nothing outside `text`.
constexpr Decoded decode(std::string_view text, std::size_t i) noexcept {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) return {b0, 1};
  std::size_t length = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    min = 0x10000;
  } else {
    return {kInvalid, 0};
  }
  if (text.size() - i < length) return {kInvalid, 0};
  char32_t cp = b0 & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) return {kInvalid, 0};
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {kInvalid, 0};
  return {cp, length};
}

// Calls f(cp, bytes) for each character of `text` in order, where `bytes`
// is the character's own UTF-8. A malformed byte is passed alone, as
// kInvalid: the caller decides whether that is U+FFFD, an escape or a byte
// kept as it is.
template <class F>
constexpr void for_each_codepoint(std::string_view text, F&& f) {
  for (std::size_t i = 0; i < text.size();) {
    const Decoded d = decode(text, i);
    const std::size_t length = d.length == 0 ? 1 : d.length;
    f(d.cp, text.substr(i, length));
    i += length;
  }
}

// Appends the UTF-8 form of cp, a code point up to U+10FFFF.
inline void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace korvanta::utf8
