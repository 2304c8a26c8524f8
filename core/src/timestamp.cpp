// Clock reading and the RFC 3339 text form of Timestamp.
#include "korvanta/timestamp.hpp"

#include <time.h>

#include <array>
#include <cerrno>
#include <string>
#include <cstring>

#include "korvanta/fault.hpp"

namespace korvanta {
namespace {

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's
// civil_from_days), valid over the whole range a Timestamp can hold.
CivilDate civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<std::uint64_t>(days - era * 146097);
  const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::uint64_t mp = (5 * doy + 2) / 153;
  const auto day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

// "00" to "99", for writing two digits at a time.
constexpr std::array<char, 200> kTwoDigits = [] {
  std::array<char, 200> table{};
  for (int i = 0; i < 100; ++i) {
    table[2 * i] = static_cast<char>('0' + i / 10);
    table[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return table;
}();

char* put_two(char* out, std::uint64_t value) {
  std::memcpy(out, &kTwoDigits[2 * value], 2);
  return out + 2;
}

// Writes `value` as exactly `width` digits, zero-padded on the left.
char* put_digits(char* out, std::uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

int digit_count(std::uint64_t value) {
  int n = 1;
  while (value >= 10) {
    value /= 10;
    ++n;
  }
  return n;
}

}  // namespace

Timestamp Timestamp::now() {
  timespec ts{};
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) {
    const int err = errno;
    throw Fault(err > 0 ? "could not read the system clock: OS Error: " + std::to_string(err)
                        : std::string("could not read the system clock: errno: did not return a positive value"));
  }
  if (ts.tv_sec < 0) throw Fault("system time before Unix epoch");
  return Timestamp{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

std::size_t Timestamp::write_text(char* out) const noexcept {
  char* p = out;
  // Floor division, so instants before 1970 land on the right day.
  std::int64_t days = seconds / 86400;
  std::int64_t secs_of_day = seconds % 86400;
  if (secs_of_day < 0) {
    secs_of_day += 86400;
    days -= 1;
  }
  // Timestamps written together mostly share their day: keep the last one.
  thread_local std::int64_t cached_days = 0;
  thread_local CivilDate cached_date = civil_from_days(0);
  if (days != cached_days) {
    cached_date = civil_from_days(days);
    cached_days = days;
  }
  const CivilDate date = cached_date;

  if (date.year >= 0 && date.year <= 9999) {
    p = put_two(p, static_cast<std::uint64_t>(date.year / 100));
    p = put_two(p, static_cast<std::uint64_t>(date.year % 100));
  } else {
    *p++ = date.year < 0 ? '-' : '+';
    const std::uint64_t magnitude = date.year < 0 ? 0 - static_cast<std::uint64_t>(date.year)
                                                  : static_cast<std::uint64_t>(date.year);
    const int width = digit_count(magnitude);
    p = put_digits(p, magnitude, width < 4 ? 4 : width);
  }
  *p++ = '-';
  p = put_two(p, date.month);
  *p++ = '-';
  p = put_two(p, date.day);
  *p++ = 'T';
  p = put_two(p, static_cast<std::uint64_t>(secs_of_day / 3600));
  *p++ = ':';
  p = put_two(p, static_cast<std::uint64_t>(secs_of_day / 60 % 60));
  *p++ = ':';
  p = put_two(p, static_cast<std::uint64_t>(secs_of_day % 60));

  if (nanos != 0) {
    *p++ = '.';
    if (nanos % 1'000'000 == 0) {
      p = put_digits(p, nanos / 1'000'000, 3);
    } else if (nanos % 1'000 == 0) {
      p = put_digits(p, nanos / 1'000, 6);
    } else {
      p = put_digits(p, nanos, 9);
    }
  }
  *p++ = 'Z';
  return static_cast<std::size_t>(p - out);
}

std::string Timestamp::to_string() const {
  char buf[kMaxTextSize];
  return std::string(buf, write_text(buf));
}

}  // namespace korvanta
