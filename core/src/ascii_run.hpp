// Runs of ASCII bytes, found eight bytes at a time: prompts and responses are
// mostly ASCII, so the writers and the OTLP encoder skip them a word at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace korvanta::detail {

// Index of the first byte at or after `i` that is not ASCII (text.size()
// when there is none).
inline std::size_t skip_ascii(std::string_view text, std::size_t i) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  while (i + 8 <= text.size()) {
    std::uint64_t block;
    std::memcpy(&block, text.data() + i, 8);
    if (block & kHighBits) break;
    i += 8;
  }
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  return i;
}

}  // namespace korvanta::detail
