// getrandom(2) with the /dev/urandom fallback. getrandom is called through
// the vDSO only while the C library's own is what a call would reach, so that
// a preloaded library can stand in for it when the fault paths are tested;
// the device file is always opened and read through the C library.
#include "os_random.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "getrandom_substitute.hpp"
#include "korvanta/fault.hpp"
#include "vdso_getrandom.hpp"

namespace korvanta::detail {
namespace {

constexpr const char* kPrefix = "could not retrieve random bytes for uuid: ";

[[noreturn]] void fail(const char* cause) { throw Fault(std::string(kPrefix) + cause); }

// errno of a failed call: a positive value names the OS error; anything else
// means the C library broke its own contract.
[[noreturn]] void fail_with_errno(int err) {
  if (err <= 0) fail("errno: did not return a positive value");
  throw Fault(std::string(kPrefix) + "OS Error: " + std::to_string(err));
}

// Set once getrandom has answered ENOSYS or EPERM: from then on every request
// goes to the device file.
std::atomic<bool> g_getrandom_unavailable{false};
// /dev/random has been readable once, so /dev/urandom is seeded.
std::atomic<bool> g_entropy_ready{false};
// Descriptor of /dev/urandom, opened on first need and shared by all threads.
std::atomic<int> g_urandom_fd{-1};

// Repeats `read_some(buf, len)` until `len` bytes have arrived; retries EINTR.
// Returns false only when `unavailable(errno)` says the source does not exist.
template <class ReadSome, class Unavailable>
bool fill_exact(std::uint8_t* buf, std::size_t len, ReadSome read_some, Unavailable unavailable) {
  while (len > 0) {
    const ssize_t n = read_some(buf, len);
    if (n > 0 && static_cast<std::size_t>(n) <= len) {
      buf += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (unavailable(err)) return false;
      fail_with_errno(err);
    }
    fail("unexpected situation");  // zero bytes, or more than asked for
  }
  return true;
}

void wait_for_entropy() {
  if (g_entropy_ready.load(std::memory_order_acquire)) return;
  const int fd = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail_with_errno(errno);
  pollfd pfd{fd, POLLIN, 0};
  for (;;) {
    if (::poll(&pfd, 1, -1) >= 0) break;
    const int err = errno;
    if (err == EINTR || err == EAGAIN) continue;
    ::close(fd);
    fail_with_errno(err);
  }
  ::close(fd);
  g_entropy_ready.store(true, std::memory_order_release);
}

// The shared descriptor. A failed open is not remembered: the next request
// tries again. Two threads racing here keep the first descriptor stored.
int urandom_fd() {
  int fd = g_urandom_fd.load(std::memory_order_acquire);
  if (fd >= 0) return fd;
  wait_for_entropy();
  fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail_with_errno(errno);
  int expected = -1;
  if (!g_urandom_fd.compare_exchange_strong(expected, fd, std::memory_order_acq_rel)) {
    ::close(fd);
    return expected;
  }
  return fd;
}

// Whether the vDSO entry is to serve requests is decided on the first one.
// Not with a function-local static: a fork() while another thread is inside
// the decision would leave the static's guard held in the child, where only
// that thread (absent there) could release it, and every request would wait
// on it for ever. Requests that arrive while the decision is being made
// elsewhere go through the C library instead.
enum class Choice : unsigned char { unmade, making, made };
std::atomic<Choice> g_choice{Choice::unmade};
VdsoGetrandom* g_chosen = nullptr;  // published by the release store of `made`

VdsoGetrandom* vdso() {
  Choice state = g_choice.load(std::memory_order_acquire);
  if (state == Choice::made) [[likely]] return g_chosen;
  if (state == Choice::unmade &&
      g_choice.compare_exchange_strong(state, Choice::making, std::memory_order_acquire)) {
    g_chosen = getrandom_substituted() ? nullptr : VdsoGetrandom::find();
    g_choice.store(Choice::made, std::memory_order_release);
    return g_chosen;
  }
  return nullptr;
}

}  // namespace

void fill_os_random(std::uint8_t* buf, std::size_t len) {
  if (!g_getrandom_unavailable.load(std::memory_order_relaxed)) {
    VdsoGetrandom* const entry = vdso();
    const bool done = fill_exact(
        buf, len,
        [entry](std::uint8_t* b, std::size_t n) {
          return entry != nullptr ? entry->read(b, n) : ::getrandom(b, n, 0);
        },
        [](int err) { return err == ENOSYS || err == EPERM; });
    if (done) return;
    g_getrandom_unavailable.store(true, std::memory_order_relaxed);
  }
  const int fd = urandom_fd();
  fill_exact(
      buf, len, [fd](std::uint8_t* b, std::size_t n) { return ::read(fd, b, n); },
      [](int) { return false; });
}

RandomSource os_random_source() {
  if (g_getrandom_unavailable.load(std::memory_order_relaxed)) return RandomSource::DeviceFile;
  return vdso() != nullptr ? RandomSource::Vdso : RandomSource::CLibrary;
}

}  // namespace korvanta::detail
