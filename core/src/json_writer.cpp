// JsonWriter: buffer growth, layout and the number forms; texts are escaped
// in json_escape.cpp.
#include "korvanta/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <new>
#include <stdexcept>

#include "ascii_run.hpp"

namespace korvanta {
namespace {

// Buffers smaller than this grow fourfold, larger ones twofold.
constexpr std::size_t kQuadrupleBelow = 64 * 1024;
// The least size a buffer grows to.
constexpr std::size_t kFirstGrowth = 8 * 1024;

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

JsonWriter::JsonWriter(JsonLayout layout, JsonStorage& storage, std::size_t initial_capacity)
    : storage_(&storage), indented_(layout == JsonLayout::Indented) {
  reserve(initial_capacity);
}

void JsonWriter::grow(std::size_t more) {
  // A buffer that outgrows its first 128 bytes holds more than a tiny
  // document: it goes to 8 KiB at once, a typical span's size, and then
  // quadruples while small and doubles when large.
  std::size_t capacity = capacity_ < kQuadrupleBelow ? capacity_ * 4 : capacity_ * 2;
  if (capacity_ != 0 && capacity < kFirstGrowth) capacity = kFirstGrowth;
  if (capacity - size_ < more) capacity = size_ + more;
  char* data = storage_ != nullptr ? storage_->resize(size_, capacity)
                                   : static_cast<char*>(std::realloc(data_, capacity));
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

void JsonWriter::verbatim(std::string_view json) {
  raw(json);
  if (detail::skip_ascii(json, 0) != json.size()) high_bits_ |= 0x80U;
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
