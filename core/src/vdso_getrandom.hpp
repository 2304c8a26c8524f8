// getrandom through the kernel's vDSO: the bytes are generated in this
// process from a key the kernel keeps fresh, each thread with its own opaque
// state in memory laid out as the kernel asks.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace korvanta::detail {

class VdsoGetrandom {
 public:
  // The kernel's entry with a first page of states already mapped, or
  // nullptr where the kernel offers none or anything about it is unexpected
  // (missing symbol, odd state parameters, refused mapping). Looked up once;
  // the object lives until the process ends, so threads still ending during
  // exit can hand their states back.
  static VdsoGetrandom* find() noexcept;

  // getrandom(buf, len, 0) with the calling thread's state: the number of
  // bytes written, or -1 with errno set, as the C library's getrandom. Only a
  // thread's first call takes a lock. A thread that cannot have a state (no
  // memory left, or it is past its thread-exit hand-back) is served by the
  // C library's getrandom instead.
  ssize_t read(std::uint8_t* buf, std::size_t len) noexcept;

  // States mapped so far. A thread's state goes back to the pool when the
  // thread ends, so this grows with the most threads alive at once.
  std::size_t states_made();

  VdsoGetrandom(const VdsoGetrandom&) = delete;
  VdsoGetrandom& operator=(const VdsoGetrandom&) = delete;

 private:
  using Entry = ssize_t (*)(void* buf, std::size_t len, unsigned flags, void* state, std::size_t state_size);

  VdsoGetrandom(Entry entry, std::size_t state_size, std::size_t stride, std::size_t page_size, int prot,
                int flags) noexcept;
  static VdsoGetrandom* make() noexcept;
  static void before_fork() noexcept;
  static void after_fork_in_parent() noexcept;
  static void after_fork_in_child() noexcept;

  void* state_for_this_thread() noexcept;
  bool map_page() noexcept;  // with mutex_ held

  // Hands the thread's state back when the thread ends.
  struct ThreadEnd {
    ~ThreadEnd();
  };
  static thread_local ThreadEnd thread_end_;
  void give_back(void* state) noexcept;

  const Entry entry_;
  const std::size_t state_size_;
  const std::size_t stride_;     // state size rounded up to a cache line
  const std::size_t page_size_;  // states never straddle a page
  const int prot_;
  const int flags_;

  std::mutex mutex_;
  std::vector<std::uint8_t*> pages_;
  // Never shorter in capacity than the number of states, so that a forked
  // child can refill it without allocating.
  std::vector<void*> free_;
};

}  // namespace korvanta::detail
