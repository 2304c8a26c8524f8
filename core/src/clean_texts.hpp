// CleanTexts: short texts a scan found nothing in lately, so that the same
// text is not scanned again. A span's short texts mostly repeat the last
// span's (the API, the model, finish reasons, token counts), and scanning is
// a function of the text and its kind alone: passing over a text seen clean
// gives the findings scanning it would.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "korvanta/scanner.hpp"

namespace korvanta::scanner_detail {

class CleanTexts {
 public:
  // Longer texts are not remembered: they rarely repeat whole.
  static constexpr std::size_t kMaxSize = 30;

  bool known(std::string_view text, TextKind kind) const noexcept {
    if (text.size() > kMaxSize) return false;
    const Slot& slot = slots_[slot_of(text, kind)];
    return slot.size == text.size() && slot.kind == static_cast<std::uint8_t>(kind) &&
           (text.empty() || std::memcmp(slot.text, text.data(), text.size()) == 0);
  }

  void remember(std::string_view text, TextKind kind) noexcept {
    if (text.size() > kMaxSize) return;
    Slot& slot = slots_[slot_of(text, kind)];
    slot.size = static_cast<std::uint8_t>(text.size());
    slot.kind = static_cast<std::uint8_t>(kind);
    if (!text.empty()) std::memcpy(slot.text, text.data(), text.size());
  }

 private:
  // One cache line holds two slots; a slot is empty until a text is kept in it.
  struct Slot {
    std::uint8_t size = kEmpty;
    std::uint8_t kind = 0;
    char text[kMaxSize] = {};
  };
  static_assert(sizeof(Slot) == 32);
  static constexpr std::uint8_t kEmpty = 0xFF;
  static constexpr std::size_t kSlots = 16;

  // From the first and last (at most) eight bytes, the size and the kind:
  // texts that differ only in the middle share a slot, and only evict each
  // other.
  static std::size_t slot_of(std::string_view text, TextKind kind) noexcept {
    std::uint64_t head = 0, tail = 0;
    const std::size_t n = text.size();
    if (n != 0) std::memcpy(&head, text.data(), n < 8 ? n : 8);
    if (n > 8) std::memcpy(&tail, text.data() + n - (n < 16 ? n - 8 : 8), n < 16 ? n - 8 : 8);
    const std::uint64_t mixed =
        (head ^ (tail * 0x9E3779B97F4A7C15ULL) ^ (n << 56) ^ (static_cast<std::uint64_t>(kind) << 48)) *
        0xBF58476D1CE4E5B9ULL;
    return static_cast<std::size_t>(mixed >> 60);
  }

  std::array<Slot, kSlots> slots_{};
};

// This thread's table.
inline CleanTexts& clean_texts() noexcept {
  thread_local CleanTexts table;
  return table;
}

}  // namespace korvanta::scanner_detail
