/* The floor of a typical span's lifecycle, as native code pays it through the
 * C library: five getrandom requests of 16 bytes (two ids for the span, one
 * per action) and five clock reads. compare.py builds this file and calls
 * floor_ns() through ctypes. */
#define _GNU_SOURCE
#include <stdint.h>
#include <sys/random.h>
#include <time.h>

double floor_ns(long iterations) {
  struct timespec start, end, now;
  unsigned char buf[16];
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (long i = 0; i < iterations; ++i) {
    for (int k = 0; k < 5; ++k) {
      if (getrandom(buf, sizeof buf, 0) != (long)sizeof buf) return -1.0;
      clock_gettime(CLOCK_REALTIME, &now);
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  return ((end.tv_sec - start.tv_sec) * 1e9 + (end.tv_nsec - start.tv_nsec)) / (double)iterations;
}
