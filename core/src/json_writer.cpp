// JsonWriter: buffer growth, layout, string escaping and number forms.
#include "korvanta/json_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvanta {
namespace {

// Bytes a JSON string cannot hold as themselves: controls, '"' and '\\'.
constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

// Room past the end of a string that the 16-byte copy loop may write into.
constexpr std::size_t kSlack = 16;

// Copies bytes from [src, end) to dst up to the first byte that needs
// escaping and returns how many it copied. Requires room for (end - src) +
// kSlack bytes at dst: blocks of 16 are stored before they are checked.
std::size_t copy_run(const char* src, const char* end, char* dst) {
  const char* const start = src;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  while (end - src >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), block);
    // A byte is a control exactly when max(byte, 0x1F) == 0x1F (unsigned).
    const __m128i special = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
        _mm_cmpeq_epi8(_mm_max_epu8(block, control_max), control_max));
    const int mask = _mm_movemask_epi8(special);
    if (mask != 0) {
      const int skip = __builtin_ctz(static_cast<unsigned>(mask));
      return static_cast<std::size_t>(src - start) + static_cast<std::size_t>(skip);
    }
    src += 16;
    dst += 16;
  }
#else
  // Eight bytes at a time: a byte needs escaping when it is below 0x20 or
  // equals '"' or '\\' (the usual has-zero-byte bit tricks).
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  while (end - src >= 8) {
    std::uint64_t word;
    std::memcpy(&word, src, 8);
    std::memcpy(dst, &word, 8);
    const std::uint64_t below = (word - kOnes * 0x20) & ~word;
    const std::uint64_t q = word ^ (kOnes * '"');
    const std::uint64_t b = word ^ (kOnes * '\\');
    const std::uint64_t hits = (below | ((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHighs;
    if (hits != 0) break;
    src += 8;
    dst += 8;
  }
#endif
  while (src < end && !kNeedsEscape[static_cast<unsigned char>(*src)]) *dst++ = *src++;
  return static_cast<std::size_t>(src - start);
}

char* write_escape(char* dst, unsigned char c) {
  constexpr char kHex[] = "0123456789abcdef";
  *dst++ = '\\';
  switch (c) {
    case '"': *dst++ = '"'; break;
    case '\\': *dst++ = '\\'; break;
    case '\b': *dst++ = 'b'; break;
    case '\t': *dst++ = 't'; break;
    case '\n': *dst++ = 'n'; break;
    case '\f': *dst++ = 'f'; break;
    case '\r': *dst++ = 'r'; break;
    default:
      *dst++ = 'u';
      *dst++ = '0';
      *dst++ = '0';
      *dst++ = kHex[c >> 4];
      *dst++ = kHex[c & 0xF];
  }
  return dst;
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
  std::size_t capacity = capacity_ * 2;
  if (capacity - size_ < more) capacity = size_ + more;
  char* data = static_cast<char*>(std::realloc(data_, capacity));
  if (data == nullptr) throw std::bad_alloc();
  data_ = data;
  capacity_ = capacity;
}

void JsonWriter::newline_indent(std::size_t depth) {
  reserve(1 + 2 * depth);
  data_[size_++] = '\n';
  std::memset(data_ + size_, ' ', 2 * depth);
  size_ += 2 * depth;
}

void JsonWriter::start_member() {
  if (has_members_.back()) {
    reserve(1);
    data_[size_++] = ',';
  } else {
    has_members_.back() = true;
  }
  if (indented_) newline_indent(has_members_.size());
}

void JsonWriter::open(char bracket) {
  reserve(1);
  data_[size_++] = bracket;
  has_members_.push_back(false);
}

void JsonWriter::close(char bracket) {
  const bool had_members = has_members_.back();
  has_members_.pop_back();
  if (indented_ && had_members) newline_indent(has_members_.size());
  reserve(1);
  data_[size_++] = bracket;
}

void JsonWriter::key(std::string_view name) {
  start_member();
  string(name);
  raw(indented_ ? std::string_view(": ") : std::string_view(":"));
}

void JsonWriter::string(std::string_view text) {
  const char* src = text.data();
  const char* const end = src + text.size();
  // Room for the text unescaped, its quotes and a sixteenth more for escapes,
  // so that text with a few escapes does not make the buffer grow again.
  reserve(text.size() + text.size() / 16 + 2 + kSlack);
  char* dst = data_ + size_;
  *dst++ = '"';
  for (;;) {
    const std::size_t copied = copy_run(src, end, dst);
    src += copied;
    dst += copied;
    if (src == end) break;
    // An escape takes at most 6 bytes; keep room for the rest unescaped.
    size_ = static_cast<std::size_t>(dst - data_);
    reserve(6 + static_cast<std::size_t>(end - src) + 1 + kSlack);
    dst = write_escape(data_ + size_, static_cast<unsigned char>(*src++));
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
