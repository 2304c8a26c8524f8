// The protobuf wire writer: tags, varints, fixed-width fields, strings kept
// valid UTF-8, KeyValue attributes sized up front and back-patched lengths.
#include "otlp_wire.hpp"

#include <cstring>

#include "otlp_utf8.hpp"

namespace korvanta::otlp {
namespace {

char* put_varint(char* out, std::uint64_t value) noexcept {
  while (value >= 0x80) {
    *out++ = static_cast<char>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<char>(value);
  return out;
}

char* put_tag(char* out, std::uint32_t field, WireType type) noexcept {
  return put_varint(out, (std::uint64_t{field} << 3) | static_cast<std::uint8_t>(type));
}

char* put_fixed64(char* out, std::uint64_t value) noexcept {
  // Little-endian whatever the host order.
  for (int i = 0; i < 8; ++i) *out++ = static_cast<char>(value >> (8 * i));
  return out;
}

// Bytes of a length-delimited field with a one-byte tag (fields 1 to 15)
// and a body of `body` bytes.
constexpr std::size_t len_field_size(std::size_t body) noexcept { return 1 + varint_size(body) + body; }

// A KeyValue's length and its key's, up to the key's bytes. `value_size` is
// the AnyValue body. An empty key is left out, as a proto3 default.
char* put_key_value_head(char* out, std::uint32_t field, const WireText& key, std::size_t value_size) {
  const std::size_t key_size = key.size == 0 ? 0 : len_field_size(key.size);
  out = put_tag(out, field, WireType::Len);
  out = put_varint(out, key_size + len_field_size(value_size));
  if (key.size == 0) return out;
  out = put_tag(out, 1, WireType::Len);
  return put_varint(out, key.size);
}

}  // namespace

WireText WireText::of(std::string_view text) { return {text, utf8_repaired_size(text)}; }

void WireWriter::append_text(const WireText& text) {
  if (text.size == text.text.size()) {
    out_.append(text.text);
    return;
  }
  const std::size_t at = out_.size();
  out_.resize(at + text.size);
  write_utf8_repaired(out_.data() + at, text.text);
}

void WireWriter::varint(std::uint32_t field, std::uint64_t value) {
  if (value == 0) return;
  char buf[kMaxHeader];
  char* p = put_tag(buf, field, WireType::Varint);
  p = put_varint(p, value);
  out_.append(buf, static_cast<std::size_t>(p - buf));
}

void WireWriter::fixed64(std::uint32_t field, std::uint64_t value) {
  if (value == 0) return;
  char buf[kMaxHeader];
  char* p = put_tag(buf, field, WireType::Fixed64);
  p = put_fixed64(p, value);
  out_.append(buf, static_cast<std::size_t>(p - buf));
}

void WireWriter::bytes(std::uint32_t field, std::string_view data) {
  if (data.empty()) return;
  char buf[kMaxHeader];
  char* p = put_tag(buf, field, WireType::Len);
  p = put_varint(p, data.size());
  out_.append(buf, static_cast<std::size_t>(p - buf));
  out_.append(data);
}

void WireWriter::string(std::uint32_t field, const WireText& text) {
  if (text.size == 0) return;
  char buf[kMaxHeader];
  char* p = put_tag(buf, field, WireType::Len);
  p = put_varint(p, text.size);
  out_.append(buf, static_cast<std::size_t>(p - buf));
  append_text(text);
}

void WireWriter::string_attribute(std::uint32_t field, const WireText& key, const WireText& value) {
  char buf[kMaxHeader];
  char* p = put_key_value_head(buf, field, key, len_field_size(value.size));
  out_.append(buf, static_cast<std::size_t>(p - buf));
  append_text(key);
  p = put_tag(buf, 2, WireType::Len);
  p = put_varint(p, len_field_size(value.size));
  p = put_tag(p, 1, WireType::Len);
  p = put_varint(p, value.size);
  out_.append(buf, static_cast<std::size_t>(p - buf));
  append_text(value);
}

// An AnyValue holding one non-string member, given whole (tag and value) in
// `value`.
void WireWriter::scalar_attribute(std::uint32_t field, const WireText& key, const char* value,
                                  std::size_t size) {
  char buf[kMaxHeader];
  char* p = put_key_value_head(buf, field, key, size);
  out_.append(buf, static_cast<std::size_t>(p - buf));
  append_text(key);
  p = put_tag(buf, 2, WireType::Len);
  p = put_varint(p, size);
  std::memcpy(p, value, size);
  p += size;
  out_.append(buf, static_cast<std::size_t>(p - buf));
}

void WireWriter::int_attribute(std::uint32_t field, const WireText& key, std::int64_t value) {
  char buf[16];
  char* end = put_varint(put_tag(buf, 3, WireType::Varint), static_cast<std::uint64_t>(value));
  scalar_attribute(field, key, buf, static_cast<std::size_t>(end - buf));
}

void WireWriter::double_attribute(std::uint32_t field, const WireText& key, double value) {
  char buf[16];
  char* end = put_fixed64(put_tag(buf, 4, WireType::Fixed64), std::bit_cast<std::uint64_t>(value));
  scalar_attribute(field, key, buf, static_cast<std::size_t>(end - buf));
}

void WireWriter::bool_attribute(std::uint32_t field, const WireText& key, bool value) {
  char buf[16];
  char* end = put_varint(put_tag(buf, 2, WireType::Varint), value ? 1 : 0);
  scalar_attribute(field, key, buf, static_cast<std::size_t>(end - buf));
}

WireWriter::Message WireWriter::begin(std::uint32_t field, std::size_t width) {
  char buf[kMaxHeader];
  char* p = put_tag(buf, field, WireType::Len);
  out_.append(buf, static_cast<std::size_t>(p - buf));
  out_.append(width, '\0');
  return {out_.size(), width};
}

void WireWriter::end(Message message) {
  const std::size_t body_size = out_.size() - message.body;
  const std::size_t need = varint_size(body_size);
  const std::size_t at = message.body - message.width;
  if (need > message.width) {
    out_.insert(message.body, need - message.width, '\0');
  } else if (need < message.width) {
    out_.erase(at + need, message.width - need);
  }
  put_varint(out_.data() + at, body_size);
}

}  // namespace korvanta::otlp
