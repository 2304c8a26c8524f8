// JsonWriter: buffer growth, layout, string escaping and number forms.
#include "korvanta/json_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <new>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvanta {
namespace {

// Buffers smaller than this grow fourfold, larger ones twofold.
constexpr std::size_t kQuadrupleBelow = 64 * 1024;
// The least size a buffer grows to.
constexpr std::size_t kFirstGrowth = 8 * 1024;

// Room past the end of a string that the 16-byte copy loop may write into.
constexpr std::size_t kSlack = 16;

// Second character of the two-character escapes (\" \\ \b \t \n \f \r);
// 0 for the other controls, which take the \u00XX form.
constexpr std::array<char, 256> kShortEscape = [] {
  std::array<char, 256> table{};
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  return table;
}();

#if defined(__SSE2__)
// Reading a whole block at the start of a short text may touch bytes past its
// end (never past its page). Address sanitizers report such reads, so their
// builds take the byte loop instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMayReadPastText = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMayReadPastText = false;
#else
constexpr bool kMayReadPastText = true;
#endif
#else
constexpr bool kMayReadPastText = true;
#endif

// Bit i set when byte i of the block needs escaping.
inline unsigned special_mask(__m128i block) {
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  // A byte is a control exactly when max(byte, 0x1F) == 0x1F (unsigned).
  const __m128i special = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
      _mm_cmpeq_epi8(_mm_max_epu8(block, control_max), control_max));
  return static_cast<unsigned>(_mm_movemask_epi8(special));
}
#endif

constexpr bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

[[gnu::always_inline]] inline char* write_escape(char* dst, unsigned char c) {
  constexpr char kHex[] = "0123456789abcdef";
  dst[0] = '\\';
  if (const char e = kShortEscape[c]; e != 0) {
    dst[1] = e;
    return dst + 2;
  }
  std::memcpy(dst + 1, "u00", 3);
  dst[4] = kHex[c >> 4];
  dst[5] = kHex[c & 0xF];
  return dst + 6;
}

// Lays out the shortest round-trip digits of a finite, non-zero value:
// fixed notation for decimal exponents -5 to 15, scientific otherwise.
// Writes at most 32 characters.
std::size_t format_double(char* out, double value) {
  char sci[32];
  const auto result = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const char* p = sci;
  char* o = out;
  if (*p == '-') *o++ = *p++;
  // "d[.ddd]e±XX"
  char digits[20];
  int n = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  ++p;  // 'e'
  int exponent = 0;
  std::from_chars(*p == '+' ? p + 1 : p, result.ptr, exponent);

  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      *o++ = '0';
      *o++ = '.';
      for (int i = 0; i < -exponent - 1; ++i) *o++ = '0';
      for (int i = 0; i < n; ++i) *o++ = digits[i];
    } else if (exponent < n - 1) {
      for (int i = 0; i <= exponent; ++i) *o++ = digits[i];
      *o++ = '.';
      for (int i = exponent + 1; i < n; ++i) *o++ = digits[i];
    } else {
      for (int i = 0; i < n; ++i) *o++ = digits[i];
      for (int i = 0; i < exponent - n + 1; ++i) *o++ = '0';
      *o++ = '.';
      *o++ = '0';
    }
  } else {
    *o++ = digits[0];
    if (n > 1) {
      *o++ = '.';
      for (int i = 1; i < n; ++i) *o++ = digits[i];
    }
    *o++ = 'e';
    *o++ = exponent < 0 ? '-' : '+';
    o = std::to_chars(o, o + 4, exponent < 0 ? -exponent : exponent).ptr;
  }
  return static_cast<std::size_t>(o - out);
}

}  // namespace

JsonWriter::JsonWriter(JsonLayout layout, std::size_t initial_capacity)
    : indented_(layout == JsonLayout::Indented) {
  reserve(initial_capacity);
}

void JsonWriter::grow(std::size_t more) {
  // A buffer that outgrows its first 128 bytes holds more than a tiny
  // document: it goes to 8 KiB at once, a typical span's size, and then
  // quadruples while small and doubles when large.
  std::size_t capacity = capacity_ < kQuadrupleBelow ? capacity_ * 4 : capacity_ * 2;
  if (capacity_ != 0 && capacity < kFirstGrowth) capacity = kFirstGrowth;
  if (capacity - size_ < more) capacity = size_ + more;
  char* data = static_cast<char*>(std::realloc(data_, capacity));
  if (data == nullptr) throw std::bad_alloc();
  data_ = data;
  capacity_ = capacity;
}

void JsonWriter::newline_indent() {
  const std::size_t width = 2 * depth_;
  reserve(1 + width + 8);
  char* dst = data_ + size_;
  *dst++ = '\n';
  for (std::size_t i = 0; i < width; i += 8) std::memcpy(dst + i, "        ", 8);
  size_ = static_cast<std::size_t>(dst + width - data_);
}

void JsonWriter::start_member() { size_ = static_cast<std::size_t>(begin_member(0) - data_); }

void JsonWriter::open(char bracket) {
  if (depth_ == kMaxDepth) throw std::length_error("JSON nesting deeper than JsonWriter::kMaxDepth");
  reserve(1);
  data_[size_++] = bracket;
  ++depth_;
  has_members_ &= ~(std::uint64_t{1} << (depth_ - 1));
}

void JsonWriter::close(char bracket) {
  if (depth_ == 0) throw std::logic_error("JsonWriter: closing a container that is not open");
  const bool had_members = (has_members_ >> (depth_ - 1)) & 1;
  --depth_;
  if (indented_ && had_members) newline_indent();
  reserve(1);
  data_[size_++] = bracket;
}

void JsonWriter::key(std::string_view name) {
  start_member();
  string(name);
  raw(indented_ ? std::string_view(": ") : std::string_view(":"));
}

void JsonWriter::field(std::string_view name) {
  char* dst = begin_member(name.size() + 4);
  *dst++ = '"';
  std::memcpy(dst, name.data(), name.size());
  size_ = static_cast<std::size_t>(end_field(dst + name.size()) - data_);
}

// Sixteen bytes at a time: a clean block is stored whole; in a block with
// bytes to escape, the runs between them are copied and the escapes written,
// and the next block starts right after the last escape.
void JsonWriter::string(std::string_view text) {
  const char* src = text.data();
  const char* const end = src + text.size();
  // Room for the text unescaped, its quotes and a sixteenth more for escapes,
  // so that text with a few escapes does not make the buffer grow again.
  reserve(text.size() + text.size() / 16 + 2 + kSlack);
  char* dst = data_ + size_;
  *dst++ = '"';
  // Before escaping within a block (of up to 32 bytes): room for an escape
  // of 6 bytes for each of its bytes and the rest of the text unescaped.
  const auto make_room = [&] {
    const std::size_t need = 6 * 32 + static_cast<std::size_t>(end - src) + 1 + kSlack;
    if (capacity_ - static_cast<std::size_t>(dst - data_) < need) {
      size_ = static_cast<std::size_t>(dst - data_);
      grow(need);
      dst = data_ + size_;
    }
  };
#if defined(__SSE2__)
  // Writes the escapes of `mask` (bit i: byte src[i], up to 32 bytes) and the
  // clean runs before them; returns how many source bytes that consumed.
  const auto escape_block = [&](std::uint32_t mask) {
    make_room();
    std::size_t pos = 0;
    do {
      const auto i = static_cast<std::size_t>(__builtin_ctz(mask));
      if (pos != 0) {
        // The run between two escapes: one 16-byte copy where it fits in one
        // and the text allows the read, else an exact copy.
        if (i - pos <= 16 && static_cast<std::size_t>(end - src) - pos >= 16) {
          _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + pos)));
        } else {
          std::memcpy(dst, src + pos, i - pos);
        }
      }
      dst += i - pos;
      dst = write_escape(dst, static_cast<unsigned char>(src[i]));
      pos = i + 1;
      mask &= mask - 1;
    } while (mask != 0);
    return pos;
  };
  // The OR of every whole block, for telling whether the text is ASCII.
  __m128i seen = _mm_setzero_si128();
  // Two blocks per step while the text is long.
  while (end - src >= 32) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), first);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), second);
    seen = _mm_or_si128(seen, _mm_or_si128(first, second));
    const std::uint32_t mask = special_mask(first) | (std::uint32_t{special_mask(second)} << 16);
    if (mask == 0) {
      src += 32;
      dst += 32;
    } else {
      src += escape_block(mask);
    }
  }
  while (end - src >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), block);
    seen = _mm_or_si128(seen, block);
    const unsigned mask = special_mask(block);
    if (mask == 0) {
      src += 16;
      dst += 16;
    } else {
      src += escape_block(mask);
    }
  }
  high_bits_ |= static_cast<unsigned>(_mm_movemask_epi8(seen));
  // The tail (or a short text): block loads where 16 bytes can be read
  // without leaving the page; the bytes past the text are ignored.
  while (src != end && kMayReadPastText && (reinterpret_cast<std::uintptr_t>(src) & 4095) <= 4096 - 16) {
    const auto rest = static_cast<std::size_t>(end - src);
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), block);
    const unsigned in_text = (1u << rest) - 1;
    high_bits_ |= static_cast<unsigned>(_mm_movemask_epi8(block)) & in_text;
    const unsigned mask = special_mask(block) & in_text;
    if (mask == 0) {
      dst += rest;
      src = end;
    } else {
      src += escape_block(mask);
    }
  }
#endif
  if (src != end) {
    make_room();
    for (; src != end; ++src) {
      const auto c = static_cast<unsigned char>(*src);
      high_bits_ |= c & 0x80u;
      if (needs_escape(c)) {
        // Room for the rest was made for 16 escapes; renew it when needed.
        if (capacity_ - static_cast<std::size_t>(dst - data_) < 6 + static_cast<std::size_t>(end - src) + 1 + kSlack) {
          make_room();
        }
        dst = write_escape(dst, c);
      } else {
        *dst++ = static_cast<char>(c);
      }
    }
  }
  *dst++ = '"';
  size_ = static_cast<std::size_t>(dst - data_);
}

void JsonWriter::uint(std::uint64_t value) {
  reserve(20);
  size_ = static_cast<std::size_t>(std::to_chars(data_ + size_, data_ + size_ + 20, value).ptr - data_);
}

void JsonWriter::int64(std::int64_t value) {
  reserve(20);
  size_ = static_cast<std::size_t>(std::to_chars(data_ + size_, data_ + size_ + 20, value).ptr - data_);
}

void JsonWriter::number(double value) {
  if (!std::isfinite(value)) {
    null();
    return;
  }
  if (value == 0) {
    raw(std::signbit(value) ? std::string_view("-0.0") : std::string_view("0.0"));
    return;
  }
  reserve(32);
  size_ += format_double(data_ + size_, value);
}

void JsonWriter::uuid(const Uuid& id) {
  reserve(Uuid::kTextSize + 2);
  data_[size_++] = '"';
  id.write_text(data_ + size_);
  size_ += Uuid::kTextSize;
  data_[size_++] = '"';
}

void JsonWriter::timestamp(const Timestamp& ts) {
  reserve(Timestamp::kMaxTextSize + 2);
  data_[size_++] = '"';
  size_ += ts.write_text(data_ + size_);
  data_[size_++] = '"';
}

}  // namespace korvanta
