// UTC instants with nanosecond resolution, read from the real-time clock, and
// their RFC 3339 text form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvanta {

// Seconds since 1970-01-01T00:00:00Z plus nanoseconds (0 to 999,999,999),
// proleptic Gregorian calendar. A plain value, cheap to copy.
struct Timestamp {
  std::int64_t seconds = 0;
  std::uint32_t nanos = 0;

  // Longest text form: a sign, up to 12 year digits, the rest of the date
  // and time, nine fraction digits and "Z".
  static constexpr std::size_t kMaxTextSize = 48;

  // Reads clock_gettime(CLOCK_REALTIME) afresh, all nine fraction digits kept.
  // Throws korvanta::Fault "system time before Unix epoch" when the clock
  // reads earlier than 1970, and "could not read the system clock: OS Error:
  // <errno>" when it cannot be read at all.
  static Timestamp now();

  // RFC 3339 in UTC: "2025-03-01T09:05:07Z", with ".120", ".000120" or
  // ".000000120" when the nanoseconds need 3, 6 or 9 digits. Years outside
  // 0..9999 carry a sign: "+10000-01-01T00:00:00Z", "-0001-12-31T00:00:00Z".
  // Writes at most kMaxTextSize characters to `out`; returns how many.
  std::size_t write_text(char* out) const noexcept;
  std::string to_string() const;

  friend bool operator==(const Timestamp&, const Timestamp&) = default;
};

}  // namespace korvanta
