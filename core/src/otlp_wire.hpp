// WireWriter: the protobuf wire format appended to a std::string, with the
// attribute KeyValue messages of OTLP written in one step each.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvanta::otlp {

enum class WireType : std::uint8_t { Varint = 0, Fixed64 = 1, Len = 2 };

// Bytes of the base-128 varint form of `value`: 1 to 10.
constexpr std::size_t varint_size(std::uint64_t value) noexcept {
  return (static_cast<std::size_t>(std::bit_width(value | 1)) + 6) / 7;
}

// A text as a protobuf string field carries it: `size` is its byte count
// once malformed UTF-8 is replaced, equal to text.size() when it is valid.
struct WireText {
  std::string_view text;
  std::size_t size;

  // Any text: scanned once here, so writing it takes no second scan.
  static WireText of(std::string_view text);
  // A text known to be valid UTF-8 (the encoder's own names, formatted
  // identifiers): not scanned.
  static constexpr WireText valid(std::string_view text) noexcept { return {text, text.size()}; }
};

class WireWriter {
 public:
  // An open length-delimited field: where its body starts and how many bytes
  // were set aside before it for the body's length.
  struct Message {
    std::size_t body;
    std::size_t width;
  };

  explicit WireWriter(std::string& out) noexcept : out_(out) {}

  // Scalar, string and bytes fields. One at its default (zero, empty) is
  // left out, as proto3 serialisers do, so the bytes match theirs.
  void varint(std::uint32_t field, std::uint64_t value);
  void fixed64(std::uint32_t field, std::uint64_t value);
  // Raw bytes (identifiers), written without any check.
  void bytes(std::uint32_t field, std::string_view data);
  // A string field: malformed UTF-8 is written as U+FFFD.
  void string(std::uint32_t field, const WireText& text);
  void string(std::uint32_t field, std::string_view text) { string(field, WireText::of(text)); }

  // A KeyValue (common.proto) under `field` with the value in the AnyValue
  // member its type names: string_value, int_value, double_value, bool_value.
  void string_attribute(std::uint32_t field, const WireText& key, const WireText& value);
  void int_attribute(std::uint32_t field, const WireText& key, std::int64_t value);
  void double_attribute(std::uint32_t field, const WireText& key, double value);
  void bool_attribute(std::uint32_t field, const WireText& key, bool value);

  // A nested message whose size is not known in advance: begin() writes the
  // tag and sets `width` bytes aside for the length; end() writes the length
  // there, moving the body when its varint needs another width. A good guess
  // saves that move, so callers guess by what the message usually holds.
  [[nodiscard]] Message begin(std::uint32_t field, std::size_t width);
  void end(Message message);

 private:
  // Room for a tag and a length; every fixed part of a KeyValue fits in it.
  static constexpr std::size_t kMaxHeader = 64;

  void scalar_attribute(std::uint32_t field, const WireText& key, const char* value, std::size_t size);
  void append_text(const WireText& text);

  std::string& out_;
};

}  // namespace korvanta::otlp
