// RFC 3339 text forms and the clock.
#include "korvanta/timestamp.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

namespace korvanta {
namespace {

// 2025-03-01T09:05:07Z
constexpr std::int64_t kMarch2025 = 1740819907;

struct Case {
  std::int64_t seconds;
  std::uint32_t nanos;
  const char* text;
};

class TimestampText : public testing::TestWithParam<Case> {};

TEST_P(TimestampText, Formats) {
  EXPECT_EQ((Timestamp{GetParam().seconds, GetParam().nanos}.to_string()), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, TimestampText,
    testing::Values(Case{kMarch2025, 0, "2025-03-01T09:05:07Z"},
                    Case{kMarch2025, 120'000'000, "2025-03-01T09:05:07.120Z"},
                    Case{kMarch2025, 120'000, "2025-03-01T09:05:07.000120Z"},
                    Case{kMarch2025, 120, "2025-03-01T09:05:07.000000120Z"},
                    Case{kMarch2025, 500'000'000, "2025-03-01T09:05:07.500Z"},
                    Case{kMarch2025, 1'500, "2025-03-01T09:05:07.000001500Z"},
                    Case{kMarch2025, 999'999'999, "2025-03-01T09:05:07.999999999Z"},
                    Case{0, 0, "1970-01-01T00:00:00Z"},
                    Case{951782400, 0, "2000-02-29T00:00:00Z"},
                    Case{-1, 0, "1969-12-31T23:59:59Z"},
                    Case{253402300799, 0, "9999-12-31T23:59:59Z"},
                    Case{253402300800, 0, "+10000-01-01T00:00:00Z"},
                    Case{-62167219200, 0, "0000-01-01T00:00:00Z"},
                    Case{-62167219201, 0, "-0001-12-31T23:59:59Z"},
                    Case{-62198755200, 0, "-0001-01-01T00:00:00Z"}));

TEST(TimestampText, ExtremesFitTheBuffer) {
  for (std::int64_t s : {INT64_MAX, INT64_MIN}) {
    char buf[Timestamp::kMaxTextSize];
    const std::size_t n = Timestamp{s, 999'999'999}.write_text(buf);
    EXPECT_LE(n, Timestamp::kMaxTextSize);
    EXPECT_EQ(buf[n - 1], 'Z');
    EXPECT_EQ(buf[0], s < 0 ? '-' : '+');
  }
}

// Seconds of the real-time clock, read as precisely as now() reads it:
// std::time reads a coarse copy that may lag it by a tick, so close to a
// second's end it could still name the second before.
std::int64_t clock_seconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST(TimestampNow, ReadsTheRealTimeClock) {
  const std::int64_t before = clock_seconds();
  const Timestamp now = Timestamp::now();
  const std::int64_t after = clock_seconds();
  EXPECT_GE(now.seconds, before);
  EXPECT_LE(now.seconds, after);
  EXPECT_LT(now.nanos, 1'000'000'000u);
}

}  // namespace
}  // namespace korvanta
