// A test-only protobuf reader: decodes wire-format bytes into fields, and
// OTLP attribute lists into maps, failing loudly on anything malformed.
#pragma once

#include <bit>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvanta::testing {

struct ProtoField {
  std::uint32_t number;
  std::uint32_t wire_type;  // 0 varint, 1 fixed64, 2 length-delimited
  std::uint64_t value;      // varint and fixed64 values
  std::string_view bytes;   // length-delimited contents
};

class ProtoMessage {
 public:
  // Throws std::runtime_error on truncated or malformed input. Views into
  // `data`, which must outlive the message.
  explicit ProtoMessage(std::string_view data) {
    std::size_t i = 0;
    while (i < data.size()) {
      const std::uint64_t tag = varint(data, i);
      ProtoField f{static_cast<std::uint32_t>(tag >> 3), static_cast<std::uint32_t>(tag & 7), 0, {}};
      if (f.number == 0) throw std::runtime_error("field number 0");
      switch (f.wire_type) {
        case 0: f.value = varint(data, i); break;
        case 1: f.value = fixed64(data, i); break;
        case 2: {
          const std::uint64_t n = varint(data, i);
          if (n > data.size() - i) throw std::runtime_error("length past the end");
          f.bytes = data.substr(i, n);
          i += n;
          break;
        }
        default: throw std::runtime_error("wire type " + std::to_string(f.wire_type));
      }
      fields_.push_back(f);
    }
  }

  const std::vector<ProtoField>& fields() const { return fields_; }

  std::vector<const ProtoField*> all(std::uint32_t number) const {
    std::vector<const ProtoField*> found;
    for (const auto& f : fields_) {
      if (f.number == number) found.push_back(&f);
    }
    return found;
  }
  bool has(std::uint32_t number) const { return !all(number).empty(); }
  // The one occurrence of a field; throws when it is absent or repeated.
  const ProtoField& one(std::uint32_t number) const {
    const auto found = all(number);
    if (found.size() != 1) {
      throw std::runtime_error("field " + std::to_string(number) + " occurs " + std::to_string(found.size()) +
                               " times");
    }
    return *found.front();
  }
  std::string_view bytes(std::uint32_t number) const { return one(number).bytes; }
  std::uint64_t value(std::uint32_t number) const { return one(number).value; }
  ProtoMessage message(std::uint32_t number) const { return ProtoMessage(bytes(number)); }
  std::vector<ProtoMessage> messages(std::uint32_t number) const {
    std::vector<ProtoMessage> found;
    for (const ProtoField* f : all(number)) found.emplace_back(f->bytes);
    return found;
  }

 private:
  static std::uint64_t varint(std::string_view data, std::size_t& i) {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (i >= data.size()) throw std::runtime_error("varint past the end");
      const auto b = static_cast<unsigned char>(data[i++]);
      v |= std::uint64_t{b & 0x7Fu} << shift;
      if (b < 0x80) return v;
    }
    throw std::runtime_error("varint longer than 10 bytes");
  }
  static std::uint64_t fixed64(std::string_view data, std::size_t& i) {
    if (8 > data.size() - i) throw std::runtime_error("fixed64 past the end");
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < 8; ++k) v |= std::uint64_t{static_cast<unsigned char>(data[i + k])} << (8 * k);
    i += 8;
    return v;
  }

  std::vector<ProtoField> fields_;
};

// An AnyValue of the members the encoder writes.
using AttributeValue = std::variant<std::string, std::int64_t, double, bool>;

// The KeyValue list under `field`, keyed; throws on a repeated key or an
// AnyValue without exactly one known member.
inline std::map<std::string, AttributeValue> attributes(const ProtoMessage& m, std::uint32_t field) {
  std::map<std::string, AttributeValue> out;
  for (const ProtoMessage& kv : m.messages(field)) {
    const ProtoMessage any = kv.message(2);
    if (any.fields().size() != 1) throw std::runtime_error("AnyValue with " + std::to_string(any.fields().size()) + " members");
    const ProtoField& f = any.fields().front();
    AttributeValue v;
    switch (f.number) {
      case 1: v = std::string(f.bytes); break;
      case 2: v = f.value != 0; break;
      case 3: v = static_cast<std::int64_t>(f.value); break;
      case 4: v = std::bit_cast<double>(f.value); break;
      default: throw std::runtime_error("AnyValue member " + std::to_string(f.number));
    }
    const std::string key(kv.has(1) ? kv.bytes(1) : std::string_view());
    if (!out.emplace(key, v).second) throw std::runtime_error("repeated attribute " + key);
  }
  return out;
}

}  // namespace korvanta::testing
