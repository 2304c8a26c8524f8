// ShortText: the heap side, an exact-size block for texts past 15 bytes.
#include "korvanta/short_text.hpp"

#include <new>
#include <stdexcept>

namespace korvanta {

void ShortText::init(std::string_view text) {
  const std::size_t n = text.size();
  if (n <= kInlineMax) {
    if (n != 0) std::memcpy(bytes_, text.data(), n);
    set_inline_size(n);
    return;
  }
  if (n > kMaxSize) throw std::length_error("ShortText: text too long");
  char* block = static_cast<char*>(::operator new(n));
  std::memcpy(block, text.data(), n);
  point_at(block, n, kHeapTag);
}

void ShortText::release() noexcept {
  if (bytes_[kTag] == kHeapTag) ::operator delete(const_cast<char*>(heap_pointer()));
}

}  // namespace korvanta
