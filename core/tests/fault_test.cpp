// The random source and the clock failing, with the C library functions
// replaced by fake_libc.c.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>

#include "korvanta/fault.hpp"
#include "korvanta/timestamp.hpp"
#include "korvanta/uuid.hpp"

extern "C" {
void fake_libc_getrandom_fail(int err);
void fake_libc_getrandom_zero(void);
void fake_libc_getrandom_trickle(std::size_t size);
long fake_libc_getrandom_calls(void);
void fake_libc_clock_set(long sec, long nsec);
void fake_libc_reset(void);
}

namespace korvanta {
namespace {

class Faults : public testing::Test {
 protected:
  void SetUp() override { fake_libc_reset(); }
  void TearDown() override { fake_libc_reset(); }
};

std::string fault_of_new_v4() {
  try {
    Uuid::new_v4();
  } catch (const Fault& fault) {
    return fault.message();
  }
  return "no fault";
}

TEST_F(Faults, OsErrorNamesTheErrorNumber) {
  fake_libc_getrandom_fail(EIO);
  EXPECT_EQ(fault_of_new_v4(), "could not retrieve random bytes for uuid: OS Error: 5");
}

TEST_F(Faults, NonPositiveErrnoAndZeroReads) {
  fake_libc_getrandom_fail(0);
  EXPECT_EQ(fault_of_new_v4(),
            "could not retrieve random bytes for uuid: errno: did not return a positive value");
  fake_libc_getrandom_zero();
  EXPECT_EQ(fault_of_new_v4(), "could not retrieve random bytes for uuid: unexpected situation");
}

TEST_F(Faults, ShortReadsAndInterruptionsAreContinued) {
  fake_libc_getrandom_trickle(3);
  const Uuid id = Uuid::new_v4();
  // 16 bytes in reads of 3, each preceded by an EINTR.
  EXPECT_EQ(fake_libc_getrandom_calls(), 12);
  EXPECT_EQ(id.to_string()[14], '4');
}

TEST_F(Faults, ClockBeforeEpoch) {
  fake_libc_clock_set(-1, 999'999'999);
  try {
    Timestamp::now();
    FAIL() << "no fault";
  } catch (const Fault& fault) {
    EXPECT_EQ(fault.message(), "system time before Unix epoch");
  }
  fake_libc_clock_set(0, 5);
  EXPECT_EQ(Timestamp::now().to_string(), "1970-01-01T00:00:00.000000005Z");
}

// Kept last: once getrandom has answered ENOSYS the
// device file is used for the rest of the process.
TEST_F(Faults, UnavailableGetrandomFallsBackToDevUrandom) {
  fake_libc_getrandom_fail(ENOSYS);
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string text = Uuid::new_v4().to_string();
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string_view("89ab").find(text[19]), std::string_view::npos);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 100u);
  // getrandom was asked once, then never again.
  EXPECT_EQ(fake_libc_getrandom_calls(), 1);
}

}  // namespace
}  // namespace korvanta
