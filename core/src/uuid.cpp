// Identifier generation, text form and parsing with the diagnosis that picks
// one of four error messages.
#include "korvanta/uuid.hpp"

#include <array>
#include <cstring>
#include <string>

#include "korvanta/code_points.hpp"
#include "os_random.hpp"

namespace korvanta {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Hex value of an ASCII digit, or -1; built once at compile time.
constexpr std::array<std::int8_t, 256> kHexValue = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<std::int8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::int8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<std::int8_t>(c - 'A' + 10);
  return table;
}();

constexpr std::string_view kUrnPrefix = "urn:uuid:";
// Character positions of the hyphens in the 36-character form.
constexpr std::array<std::size_t, 4> kHyphenAt = {8, 13, 18, 23};

// Decodes 32 hex digits, skipping the hyphens of the 36-character form when
// `hyphenated`. Fails on any misplaced or non-hex character.
std::optional<Uuid> decode(std::string_view text, bool hyphenated) {
  Uuid out;
  std::size_t pos = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    if (hyphenated && (pos == 8 || pos == 13 || pos == 18 || pos == 23)) {
      if (text[pos] != '-') return std::nullopt;
      ++pos;
    }
    const int hi = kHexValue[static_cast<unsigned char>(text[pos])];
    const int lo = kHexValue[static_cast<unsigned char>(text[pos + 1])];
    if ((hi | lo) < 0) return std::nullopt;
    out.bytes[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    pos += 2;
  }
  return out;
}

std::optional<Uuid> parse_exact(std::string_view text) {
  switch (text.size()) {
    case 32:
      return decode(text, false);
    case 36:
      return decode(text, true);
    case 38:
      if (text.front() != '{' || text.back() != '}') return std::nullopt;
      return decode(text.substr(1, 36), true);
    case 45:
      if (!text.starts_with(kUrnPrefix)) return std::nullopt;
      return decode(text.substr(kUrnPrefix.size()), true);
    default:
      return std::nullopt;
  }
}

// One character of possibly malformed UTF-8 starting at text[i]: its code
// point and byte length. A malformed byte reads as U+FFFD of length 1, so a
// scan never leaves the text and the message stays valid UTF-8.
utf8::Decoded next_char(std::string_view text, std::size_t i) {
  const utf8::Decoded d = utf8::decode(text, i);
  return d.length == 0 ? utf8::Decoded{0xFFFD, 1} : d;
}

// Works out why `text` is not an identifier and says so in one of the four
// message forms.
std::string diagnose(std::string_view text) {
  std::string_view inner = text;
  std::size_t offset = 0;
  bool simple_candidate = false;
  if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
    inner = text.substr(1, text.size() - 2);
    offset = 1;
  } else if (text.starts_with(kUrnPrefix)) {
    inner = text.substr(kUrnPrefix.size());
    offset = kUrnPrefix.size();
  } else {
    simple_candidate = true;
  }

  std::size_t hyphens = 0;
  std::array<std::size_t, 4> hyphen_index{};
  for (std::size_t i = 0; i < inner.size();) {
    const utf8::Decoded c = next_char(inner, i);
    if (c.cp == '-') {
      if (hyphens < 4) hyphen_index[hyphens] = i;
      ++hyphens;
    } else if (c.cp > 0x7F || kHexValue[c.cp] < 0) {
      std::string msg =
          "invalid character: expected an optional prefix of `urn:uuid:` followed by "
          "[0-9a-fA-F-], found `";
      utf8::append(msg, c.cp);
      msg += "` at ";
      msg += std::to_string(i + offset + 1);
      return msg;
    }
    i += c.length;
  }

  if (hyphens == 0 && simple_candidate) {
    return "invalid length: expected length 32 for simple format, found " +
           std::to_string(text.size());
  }
  if (hyphens != 4) {
    return "invalid group count: expected 5, found " + std::to_string(hyphens + 1);
  }
  constexpr std::array<std::size_t, 4> kExpected = {8, 4, 4, 4};
  constexpr std::array<std::size_t, 4> kGroupStart = {0, 9, 14, 19};
  for (std::size_t g = 0; g < 4; ++g) {
    if (hyphen_index[g] != kHyphenAt[g]) {
      return "invalid group length in group " + std::to_string(g) + ": expected " +
             std::to_string(kExpected[g]) + ", found " +
             std::to_string(hyphen_index[g] - kGroupStart[g]);
    }
  }
  // Only the last group is left; the four hyphens put it at byte 24.
  return "invalid group length in group 4: expected 12, found " +
         std::to_string(static_cast<long long>(inner.size()) - 24);
}

}  // namespace

Uuid Uuid::new_v4() {
  Uuid id;
  detail::fill_os_random(id.bytes.data(), id.bytes.size());
  id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0F) | 0x40);
  id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3F) | 0x80);
  return id;
}

std::optional<Uuid> Uuid::parse_str(std::string_view text, std::string* error) {
  if (auto id = parse_exact(text)) return id;
  if (error != nullptr) *error = diagnose(text);
  return std::nullopt;
}

void Uuid::write_text(char* out) const noexcept {
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
    *out++ = kHexDigits[bytes[i] >> 4];
    *out++ = kHexDigits[bytes[i] & 0x0F];
  }
}

std::string Uuid::to_string() const {
  std::string text(kTextSize, '\0');
  write_text(text.data());
  return text;
}

}  // namespace korvanta
