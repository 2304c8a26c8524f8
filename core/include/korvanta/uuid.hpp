// 128-bit identifiers (random version 4, RFC 9562 byte order) and the tenant
// identifier that wraps one: generation, the 36-character text form, parsing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvanta {

// A plain 16-byte value, cheap to copy and compared bytewise. Byte 0 is the
// most significant byte of the text form.
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  // Length of the hyphenated text form, "8-4-4-4-12" lower-case hex digits.
  static constexpr std::size_t kTextSize = 36;

  // A fresh random version-4 identifier: one request of 16 bytes to the
  // operating system's random source, no buffering between calls.
  // Throws korvanta::Fault ("could not retrieve random bytes for uuid: ...")
  // when the source cannot deliver.
  static Uuid new_v4();

  // Parses the simple (32 hex digits), hyphenated (36), braced (38) and
  // "urn:uuid:" (45) forms; hex digits in either case. On failure returns
  // nullopt and, when `error` is given, stores one of the four diagnosis
  // messages, e.g. "invalid group count: expected 5, found 2". Never reads
  // outside `text`, whatever its bytes.
  static std::optional<Uuid> parse_str(std::string_view text, std::string* error = nullptr);

  // Writes exactly kTextSize characters to `out`, e.g.
  // "0b8f4c1e-5a3d-4e2f-9c61-2d7a8b9c0d1e".
  void write_text(char* out) const noexcept;
  std::string to_string() const;

  friend bool operator==(const Uuid&, const Uuid&) = default;
};

// The tenant on whose behalf calls are traced. Its text form is the text
// form of the identifier it holds.
struct TenantId {
  Uuid uuid;

  // A tenant with a fresh random identifier (Uuid::new_v4).
  static TenantId generate() { return TenantId{Uuid::new_v4()}; }

  std::string to_string() const { return uuid.to_string(); }
  friend bool operator==(const TenantId&, const TenantId&) = default;
};

}  // namespace korvanta
