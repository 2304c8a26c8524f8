// libFuzzer target for Uuid::parse_str over arbitrary bytes.
//
// Checks, for every input:
//  - parsing never crashes or reads outside the text (ASan/UBSan watch that);
//  - it succeeds exactly for the four accepted shapes, which a small reference
//    acceptor below recognises on its own, and then yields the same bytes;
//  - on success the 36-character text form is lower-case, hyphenated at
//    8/13/18/23, and parses back to the same value;
//  - on failure the message is one of the four diagnosis forms, with numbers
//    that agree with the input (the length, a position inside the text, a
//    group count other than 5, a group length other than the expected one).
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "korvanta/uuid.hpp"

namespace {

using korvanta::Uuid;

[[noreturn]] void fail(const char* what, std::string_view input, std::string_view detail) {
  std::fprintf(stderr, "uuid_parse_fuzzer: %s\n  input (%zu bytes): ", what, input.size());
  for (unsigned char c : input) std::fprintf(stderr, "\\x%02x", c);
  std::fprintf(stderr, "\n  detail: %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::abort();
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The reference acceptor: the simple (32), hyphenated (36), braced (38) and
// "urn:uuid:" (45) forms, written independently of the library's parser.
std::optional<std::array<std::uint8_t, 16>> reference_parse(std::string_view text) {
  std::string_view body = text;
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    body = text.substr(1, 36);
  } else if (text.size() == 45) {
    if (text.substr(0, 9) != "urn:uuid:") return std::nullopt;
    body = text.substr(9);
  } else if (text.size() != 32 && text.size() != 36) {
    return std::nullopt;
  }
  std::string digits;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const bool hyphen_slot = body.size() == 36 && (i == 8 || i == 13 || i == 18 || i == 23);
    if (hyphen_slot) {
      if (body[i] != '-') return std::nullopt;
    } else {
      if (hex_value(body[i]) < 0) return std::nullopt;
      digits += body[i];
    }
  }
  std::array<std::uint8_t, 16> bytes{};
  for (std::size_t i = 0; i < 16; ++i) {
    bytes[i] = static_cast<std::uint8_t>(hex_value(digits[2 * i]) * 16 + hex_value(digits[2 * i + 1]));
  }
  return bytes;
}

// Reads a decimal number without sign or leading zeros that makes up the
// rest of `text` from `pos`; nullopt otherwise.
std::optional<std::uint64_t> whole_number(std::string_view text, std::size_t pos = 0) {
  if (pos >= text.size() || text.size() - pos > 19) return std::nullopt;
  if (text[pos] == '0' && text.size() - pos > 1) return std::nullopt;
  std::uint64_t value = 0;
  for (std::size_t i = pos; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  return value;
}

// Length of the UTF-8 character starting with `lead`, 0 for a byte that
// cannot start one.
std::size_t utf8_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    const std::size_t len = utf8_length(b0);
    if (len == 0 || i + len > text.size()) return false;
    std::uint32_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    const std::uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// Text reaches the parser as valid UTF-8 (it comes from a Python str), and
// for such text every number in the message must agree with the input. For
// other bytes the parser only has to stay inside the text and answer with
// one of the four forms.
void check_failure_message(std::string_view input, std::string_view msg) {
  const bool valid_input = is_valid_utf8(input);
  constexpr std::string_view kChar =
      "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `";
  constexpr std::string_view kLength = "invalid length: expected length 32 for simple format, found ";
  constexpr std::string_view kCount = "invalid group count: expected 5, found ";
  constexpr std::string_view kGroup = "invalid group length in group ";

  if (msg.starts_with(kChar)) {
    const std::string_view rest = msg.substr(kChar.size());
    const std::size_t close = rest.rfind("` at ");
    if (close == std::string_view::npos) fail("invalid-character message without position", input, msg);
    const std::string_view found = rest.substr(0, close);
    const auto position = whole_number(rest, close + 5);
    if (!position || *position < 1 || *position > input.size()) {
      fail("invalid-character position outside the text", input, msg);
    }
    if (found.empty() || found == "-" || (found.size() == 1 && hex_value(found[0]) >= 0)) {
      fail("invalid-character message names no character or an allowed one", input, msg);
    }
    // One valid character (U+FFFD for bytes that are not UTF-8), and for
    // valid text the one at that 1-based byte position.
    if (!is_valid_utf8(found) || utf8_length(static_cast<unsigned char>(found[0])) != found.size()) {
      fail("invalid-character message does not name one character", input, msg);
    }
    if (valid_input) {
      if (input.substr(*position - 1, found.size()) != found) {
        fail("invalid-character message names a character not at its position", input, msg);
      }
    }
    return;
  }
  if (msg.starts_with(kLength)) {
    const auto length = whole_number(msg, kLength.size());
    if (!length || *length != input.size()) fail("simple-length message with a wrong length", input, msg);
    return;
  }
  if (msg.starts_with(kCount)) {
    const auto count = whole_number(msg, kCount.size());
    if (!count || *count == 5 || *count < 1 || *count > input.size() + 1) {
      fail("group-count message with an impossible count", input, msg);
    }
    return;
  }
  if (msg.starts_with(kGroup)) {
    // "invalid group length in group G: expected E, found F"
    const std::string_view rest = msg.substr(kGroup.size());
    if (rest.size() < 2 || rest[0] < '0' || rest[0] > '4' || rest.substr(1, 11) != ": expected ") {
      fail("group-length message with a bad group", input, msg);
    }
    const int group = rest[0] - '0';
    constexpr std::array<std::string_view, 5> kExpected = {"8", "4", "4", "4", "12"};
    const std::string_view after = rest.substr(12);
    if (!after.starts_with(kExpected[group]) || after.substr(kExpected[group].size(), 8) != ", found ") {
      fail("group-length message with a wrong expected length", input, msg);
    }
    const auto found = whole_number(after, kExpected[group].size() + 8);
    if (!found || *found > input.size()) fail("group-length message with an impossible length", input, msg);
    if (std::to_string(*found) == kExpected[group]) {
      fail("group-length message says the length it found is the expected one", input, msg);
    }
    return;
  }
  fail("message is none of the four forms", input, msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<Uuid> parsed = Uuid::parse_str(input, &error);
  const auto expected = reference_parse(input);

  if (!parsed) {
    if (expected) fail("a well-formed identifier was rejected", input, error);
    check_failure_message(input, error);
    // Without a place for the message the result is the same.
    if (Uuid::parse_str(input)) fail("parse without error text accepted it", input, error);
    return 0;
  }
  if (!expected) fail("a malformed text was accepted", input, parsed->to_string());
  if (parsed->bytes != *expected) fail("accepted with other bytes than written", input, parsed->to_string());

  const std::string text = parsed->to_string();
  if (text.size() != Uuid::kTextSize) fail("text form is not 36 characters", input, text);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool hyphen_slot = i == 8 || i == 13 || i == 18 || i == 23;
    const bool ok = hyphen_slot ? text[i] == '-' : (hex_value(text[i]) >= 0 && !(text[i] >= 'A' && text[i] <= 'F'));
    if (!ok) fail("text form is not lower-case 8-4-4-4-12", input, text);
  }
  std::string again_error;
  const std::optional<Uuid> again = Uuid::parse_str(text, &again_error);
  if (!again || *again != *parsed) fail("text form does not parse back to the same value", input, again_error);
  return 0;
}
