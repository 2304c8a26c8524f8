/* Stand-ins for the C library's getrandom and clock_gettime, for tests of the
 * fault paths. Linked into a test executable, or loaded with LD_PRELOAD into a
 * Python subprocess, they pass every call through to the real functions until
 * a test arms them through the fake_libc_* controls below. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>
#include <sys/types.h>
#include <time.h>

typedef ssize_t (*getrandom_fn)(void *, size_t, unsigned int);
typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);

enum { REAL, FAIL, RETURN_ZERO, TRICKLE };

static int random_mode = REAL;
static int random_errno = 0;
static size_t trickle_size = 1;
static int trickle_interrupt = 0;
static long random_calls = 0;

static int clock_fixed = 0;
static int clock_errno = 0;
static struct timespec clock_value;

/* getrandom fails with -1 and errno `err` (0 included) on every call. */
void fake_libc_getrandom_fail(int err) { random_mode = FAIL; random_errno = err; }
/* getrandom returns 0 bytes. */
void fake_libc_getrandom_zero(void) { random_mode = RETURN_ZERO; }
/* getrandom alternates EINTR with reads of at most `size` real bytes. */
void fake_libc_getrandom_trickle(size_t size) { random_mode = TRICKLE; trickle_size = size; }
/* Number of getrandom calls since the last reset. */
long fake_libc_getrandom_calls(void) { return random_calls; }
/* clock_gettime(CLOCK_REALTIME) reads the given instant. */
void fake_libc_clock_set(long sec, long nsec) {
  clock_fixed = 1;
  clock_value.tv_sec = sec;
  clock_value.tv_nsec = nsec;
}
/* clock_gettime(CLOCK_REALTIME) fails with -1 and errno `err`. */
void fake_libc_clock_fail(int err) { clock_errno = err; }
void fake_libc_reset(void) {
  random_mode = REAL;
  random_calls = 0;
  clock_fixed = 0;
  clock_errno = 0;
}

ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
  static getrandom_fn real;
  if (!real) *(void **)(&real) = dlsym(RTLD_NEXT, "getrandom");
  ++random_calls;
  switch (random_mode) {
    case FAIL:
      errno = random_errno;
      return -1;
    case RETURN_ZERO:
      return 0;
    case TRICKLE:
      trickle_interrupt = !trickle_interrupt;
      if (trickle_interrupt) {
        errno = EINTR;
        return -1;
      }
      return real(buf, len < trickle_size ? len : trickle_size, flags);
    default:
      return real(buf, len, flags);
  }
}

int clock_gettime(clockid_t clock, struct timespec *ts) {
  static clock_gettime_fn real;
  if (!real) *(void **)(&real) = dlsym(RTLD_NEXT, "clock_gettime");
  if (clock_errno && clock == CLOCK_REALTIME) {
    errno = clock_errno;
    return -1;
  }
  if (clock_fixed && clock == CLOCK_REALTIME) {
    *ts = clock_value;
    return 0;
  }
  return real(clock, ts);
}
