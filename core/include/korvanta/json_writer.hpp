// JsonWriter: appends JSON to one growable byte buffer, compact or indented
// (two spaces per level, line feeds) from the same calls. It knows the value
// forms of the trace records: identifiers, timestamps, floats by the shortest
// round-trip digits.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "korvanta/out_of_line.hpp"
#include "korvanta/timestamp.hpp"
#include "korvanta/uuid.hpp"

namespace korvanta {

enum class JsonLayout : std::uint8_t { Compact, Indented };

// How string() and key() find the bytes to escape: eight bytes at a time in a
// plain register, 16-byte SSE2 blocks, or 32-byte AVX2 blocks (SSE2 for
// texts of up to 32 bytes). Every scan writes the same bytes and reads none
// past the text. The widest this CPU runs is chosen when the first text is
// written.
enum class EscapeScan : std::uint8_t { Portable, Sse2, Avx2 };

// Whether `scan` runs here: SSE2 on x86 only, AVX2 when the CPU has it too.
bool escape_scan_available(EscapeScan scan) noexcept;
// The scan in use.
EscapeScan escape_scan() noexcept;
// For tests and benchmarks: every writer, on every thread, uses `scan` from
// now on. Returns false, changing nothing, when it is not available.
//   use_escape_scan(EscapeScan::Portable);  // then compare with the others
bool use_escape_scan(EscapeScan scan) noexcept;

// Storage a writer's bytes can live in other than its own malloc'd block:
// a caller that wants the text in an object of its own (an interpreter's
// string) writes straight into it and saves the copy, and with it a second
// large allocation. The storage owns its block; the writer never frees it.
class JsonStorage {
 public:
  // A block of at least `capacity` bytes whose first `size` bytes are those
  // of the block returned before (none on the first call). Throws on
  // failure, leaving the earlier block as it was.
  virtual char* resize(std::size_t size, std::size_t capacity) = 0;

 protected:
  ~JsonStorage() = default;
};

class JsonWriter {
 public:
  // Deepest nesting of containers; the records need 4.
  static constexpr std::size_t kMaxDepth = 64;

  explicit JsonWriter(JsonLayout layout, std::size_t initial_capacity = 128);
  // Writes into `storage`, which must outlive the writer.
  JsonWriter(JsonLayout layout, JsonStorage& storage, std::size_t initial_capacity = 128);
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;
  ~JsonWriter() {
    if (storage_ == nullptr) std::free(data_);
  }

  // Containers. An empty one is written "{}" or "[]" in both layouts.
  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // Starts an object member: separator, line break and indent when indented,
  // then the key (escaped) and ":" or ": ". The value follows.
  void key(std::string_view name);
  // The same for a key known to need no escaping (the records' field names):
  // written as it is, without scanning it.
  void field(std::string_view name);
  // A field name given as a literal: its length is known where it is
  // written, so the copy is a fixed one.
  template <std::size_t N>
  void field(const char (&name)[N]) {
    char* dst = begin_member(N + 3);
    *dst++ = '"';
    std::memcpy(dst, name, N - 1);
    size_ = static_cast<std::size_t>(end_field(dst + N - 1) - data_);
  }
  // Starts an array element.
  void element() { start_member(); }

  void string(std::string_view text);
  void uint(std::uint64_t value);
  void int64(std::int64_t value);
  // Shortest round-trip digits: "0.25", "3.0", "1e-6", "1000000000000000.0",
  // "1e+16"; NaN and infinities as null.
  void number(double value);
  void boolean(bool value) { raw(value ? std::string_view("true") : std::string_view("false")); }
  void null() { raw("null"); }
  void uuid(const Uuid& id);
  void timestamp(const Timestamp& ts);

  // One value, written by the member for its type: a text as string(), an
  // integer as uint() or int64(), a double as number(), a bool, a Uuid or
  // a Timestamp; an empty optional as null.
  void value(std::string_view text) { string(text); }
  void value(double x) { number(x); }
  void value(const Uuid& id) { uuid(id); }
  void value(const Timestamp& ts) { timestamp(ts); }
  // Templates, so that every integer type goes to uint() or int64() by its
  // signedness and a pointer (a C string) never converts to bool; a lone
  // char is neither text nor number.
  template <std::same_as<bool> Bool>
  void value(Bool b) {
    boolean(b);
  }
  template <std::unsigned_integral Int>
    requires(!std::same_as<Int, bool>)
  void value(Int n) {
    uint(n);
  }
  template <std::signed_integral Int>
  void value(Int n) {
    int64(n);
  }
  void value(char) = delete;
  template <class T>
  void value(const std::optional<T>& v) {
    v ? value(*v) : null();
  }
  template <class T>
  void value(const OutOfLine<T>& v) {
    v ? value(*v) : null();
  }

  // One object member whose key needs no escaping (a record's field name):
  // the key, then the value as value() writes it.
  //   out.append_key_value("status_code", span.status_code);  // 504 or null
  template <std::size_t N, class T>
  void append_key_value(const char (&name)[N], const T& v) {
    field(name);
    value(v);
  }
  template <class T>
  void append_key_value(std::string_view name, const T& v) {
    field(name);
    value(v);
  }

  // Text that is JSON already, written as it is where the next value goes
  // (after element() or field()); the caller vouches that it is valid.
  void verbatim(std::string_view json);

  std::string_view view() const noexcept { return {data_, size_}; }
  // Whether everything written so far is ASCII (only text strings can carry
  // other bytes), so a caller can skip decoding it as UTF-8.
  bool is_ascii() const noexcept { return high_bits_ == 0; }
  bool indented() const noexcept { return indented_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  void open(char bracket);
  void close(char bracket);
  // ",\n" and the indentation (or just ","), as the next member needs.
  // Returns the write position; `more` bytes past it are reserved.
  char* begin_member(std::size_t more) {
    if (depth_ == 0) throw std::logic_error("JsonWriter: a member outside any container");
    const std::size_t width = indented_ ? 2 * depth_ : 0;
    // 8 spare bytes: the indentation is written in whole 8-byte steps.
    reserve(2 + width + 8 + more);
    char* dst = data_ + size_;
    const std::uint64_t bit = std::uint64_t{1} << (depth_ - 1);
    if (has_members_ & bit) *dst++ = ',';
    has_members_ |= bit;
    if (indented_) {
      *dst++ = '\n';
      for (std::size_t i = 0; i < width; i += 8) std::memcpy(dst + i, "        ", 8);
      dst += width;
    }
    return dst;
  }
  // The closing quote of a field name and ":" or ": ".
  char* end_field(char* dst) const {
    *dst++ = '"';
    *dst++ = ':';
    if (indented_) *dst++ = ' ';
    return dst;
  }
  void start_member();
  void newline_indent();
  // The escape loops behind string(), one per EscapeScan (json_writer.cpp).
  struct Escaper;
  void raw(std::string_view text) {
    reserve(text.size());
    std::memcpy(data_ + size_, text.data(), text.size());
    size_ += text.size();
  }
  // Makes room for `more` bytes beyond the current size.
  void reserve(std::size_t more) {
    if (capacity_ - size_ < more) grow(more);
  }
  void grow(std::size_t more);

  char* data_ = nullptr;
  JsonStorage* storage_ = nullptr;  // null: data_ is malloc'd and ours
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool indented_;
  // Open containers, and bit d - 1 set when the one at depth d has a member.
  std::size_t depth_ = 0;
  std::uint64_t has_members_ = 0;
  // Nonzero once a byte >= 0x80 has been written.
  unsigned high_bits_ = 0;
};

// Storage in a std::string, for a text that is kept as one: the writer's
// bytes are written in the string, which take() trims to them, and the
// string is then moved where it is kept rather than copied there.
class StringStorage final : public JsonStorage {
 public:
  char* resize(std::size_t, std::size_t capacity) override {
    text_.resize(capacity);
    return text_.data();
  }

  // The text `out` wrote here; the storage is left empty. A block much
  // larger than the text is given back.
  std::string take(const JsonWriter& out) {
    const std::size_t size = out.size();
    text_.resize(size);
    if (text_.capacity() > 2 * size + 64) text_.shrink_to_fit();
    return std::exchange(text_, std::string());
  }

 private:
  std::string text_;
};

}  // namespace korvanta
