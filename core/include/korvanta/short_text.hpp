// ShortText: an owned, immutable-size text of 16 bytes, kept inline up to 15
// bytes and in one exact-size heap block beyond: the keys and values of maps,
// which are mostly a word or two. A text that lives as long as the program
// (a literal) may be held by reference instead, and is then never copied.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace korvanta {

// Reads as the text it holds: converts to std::string_view (and, for code
// that keeps a copy, to std::string), compares with any text, has data()
// and size(). Embedded NULs are kept; there is no terminating NUL.
class ShortText {
 public:
  static constexpr std::size_t kInlineMax = 15;

  ShortText() noexcept { set_inline_size(0); }
  explicit ShortText(std::string_view text) { init(text); }
  ShortText(const ShortText& other) {
    if (other.is_static()) {
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    } else {
      init(other.view());
    }
  }
  // A string literal: only a constant expression converts, so no local
  // buffer can. Its text, less the closing NUL, lives as long as the program
  // and must never change (a static array that is written to is no literal).
  struct Literal {
    template <std::size_t N>
    consteval Literal(const char (&text)[N]) : view(text, N - 1) {}  // NOLINT: a literal converts
    std::string_view view;
  };
  // Holds a literal's text by reference: it needs no block of its own.
  static ShortText of_static(Literal text) noexcept {
    ShortText made;
    made.point_at(text.view.data(), text.view.size(), kStaticTag);
    return made;
  }
  ShortText(ShortText&& other) noexcept : ShortText() { swap(other); }
  ShortText& operator=(const ShortText& other) {
    ShortText made(other);
    swap(made);
    return *this;
  }
  ShortText& operator=(ShortText&& other) noexcept {
    ShortText taken(static_cast<ShortText&&>(other));
    swap(taken);
    return *this;
  }
  // Replaces the text; `text` may be a view of this one.
  ShortText& operator=(std::string_view text) {
    ShortText made(text);
    swap(made);
    return *this;
  }
  ~ShortText() { release(); }

  void swap(ShortText& other) noexcept {
    unsigned char held[sizeof bytes_];
    std::memcpy(held, bytes_, sizeof bytes_);
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    std::memcpy(other.bytes_, held, sizeof bytes_);
  }

  bool is_inline() const noexcept { return bytes_[kTag] <= kInlineMax; }
  bool is_static() const noexcept { return bytes_[kTag] == kStaticTag; }
  const char* data() const noexcept {
    return is_inline() ? reinterpret_cast<const char*>(bytes_) : heap_pointer();
  }
  std::size_t size() const noexcept { return is_inline() ? bytes_[kTag] : heap_size(); }
  bool empty() const noexcept { return size() == 0; }
  std::string_view view() const noexcept { return {data(), size()}; }
  bool starts_with(std::string_view prefix) const noexcept { return view().starts_with(prefix); }
  operator std::string_view() const noexcept { return view(); }  // NOLINT: reads as its text
  operator std::string() const { return std::string(view()); }   // NOLINT: as std::string did

  friend bool operator==(const ShortText& a, const ShortText& b) noexcept { return a.view() == b.view(); }
  friend bool operator==(const ShortText& a, std::string_view b) noexcept { return a.view() == b; }
  friend std::strong_ordering operator<=>(const ShortText& a, const ShortText& b) noexcept {
    return a.view() <=> b.view();
  }
  friend std::strong_ordering operator<=>(const ShortText& a, std::string_view b) noexcept {
    return a.view() <=> b;
  }
  // Concatenation gives a std::string, as it did when map texts were ones.
  friend std::string operator+(std::string a, const ShortText& b) { return a.append(b.view()); }
  friend std::string operator+(const ShortText& a, std::string_view b) { return std::string(a.view()).append(b); }
  friend std::string operator+(const ShortText& a, const ShortText& b) { return std::string(a.view()).append(b.view()); }
  // For test frameworks and logs: writes the text.
  template <class Stream>
    requires requires(Stream& os, std::string_view v) { os << v; }
  friend Stream& operator<<(Stream& os, const ShortText& t) {
    os << t.view();
    return os;
  }

 private:
  // Inline: the text in bytes_[0..size), its size in the last byte. Heap:
  // the pointer in the first eight bytes, the size in the next seven (so at
  // most 2^56 - 1 bytes), the last byte kHeapTag; static text likewise, the
  // last byte kStaticTag.
  static constexpr std::size_t kTag = 15;
  static constexpr unsigned char kHeapTag = 0xFF;
  static constexpr unsigned char kStaticTag = 0xFE;
  static constexpr std::size_t kMaxSize = (std::size_t{1} << 56) - 1;

  void set_inline_size(std::size_t n) noexcept { bytes_[kTag] = static_cast<unsigned char>(n); }
  const char* heap_pointer() const noexcept {
    const char* p;
    std::memcpy(&p, bytes_, sizeof p);
    return p;
  }
  std::size_t heap_size() const noexcept {
    std::size_t n = 0;
    for (std::size_t i = 0; i < 7; ++i) n |= std::size_t{bytes_[8 + i]} << (8 * i);
    return n;
  }
  void point_at(const char* p, std::size_t n, unsigned char tag) noexcept {
    std::memcpy(bytes_, &p, sizeof p);
    for (std::size_t i = 0; i < 7; ++i) bytes_[8 + i] = static_cast<unsigned char>(n >> (8 * i));
    bytes_[kTag] = tag;
  }
  void init(std::string_view text);
  void release() noexcept;

  alignas(8) unsigned char bytes_[16] = {};
};

static_assert(sizeof(ShortText) == 16);

}  // namespace korvanta
