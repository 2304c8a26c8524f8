// The vDSO getrandom entry and the pool of per-thread states it works on.
// The kernel decides how state memory is mapped (since 6.11: droppable and
// wiped on fork, so a child never repeats its parent's bytes); we only carve
// pages into states and keep our bookkeeping outside that memory, since the
// kernel may zero it at any time.
#include "vdso_getrandom.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <new>

#include "vdso_symbol.hpp"

namespace korvanta::detail {
namespace {

// struct vgetrandom_opaque_params of <linux/random.h>: what the entry, asked
// with a state size of ~0, says about the states it needs.
struct OpaqueParams {
  std::uint32_t size_of_opaque_state;
  std::uint32_t mmap_prot;
  std::uint32_t mmap_flags;
  std::uint32_t reserved[13];
};

// Neighbouring threads' states on one cache line would bounce it between
// their cores on every request.
constexpr std::size_t kCacheLine = 64;

// The raw system call convention: -4095..-1 are negated error numbers.
constexpr ssize_t kMaxErrno = 4095;

// The calling thread's state; null until its first request.
constinit thread_local void* t_state = nullptr;
// Set once the thread has handed its state back at exit; a request made
// after that (from another thread-exit destructor) does not take a new one.
constinit thread_local bool t_ended = false;

// The one pool, for the fork handlers, which take no arguments.
std::atomic<VdsoGetrandom*> g_pool{nullptr};

}  // namespace

thread_local VdsoGetrandom::ThreadEnd VdsoGetrandom::thread_end_;

VdsoGetrandom::ThreadEnd::~ThreadEnd() {
  if (t_state != nullptr) g_pool.load(std::memory_order_acquire)->give_back(t_state);
  t_state = nullptr;
  t_ended = true;
}

VdsoGetrandom::VdsoGetrandom(Entry entry, std::size_t state_size, std::size_t stride, std::size_t page_size,
                             int prot, int flags) noexcept
    : entry_(entry), state_size_(state_size), stride_(stride), page_size_(page_size), prot_(prot), flags_(flags) {}

VdsoGetrandom* VdsoGetrandom::find() noexcept {
  static VdsoGetrandom* const found = make();
  return found;
}

VdsoGetrandom* VdsoGetrandom::make() noexcept {
  const auto entry = std::bit_cast<Entry>(vdso_symbol("__vdso_getrandom", "LINUX_2.6"));
  if (entry == nullptr) return nullptr;
  OpaqueParams params{};
  if (entry(nullptr, 0, 0, &params, ~std::size_t{0}) != 0) return nullptr;
  for (const std::uint32_t word : params.reserved) {
    if (word != 0) return nullptr;  // a kernel asking for something we do not know of
  }
  const long page = ::sysconf(_SC_PAGESIZE);
  const std::size_t size = params.size_of_opaque_state;
  if (page <= 0 || size == 0 || size > static_cast<std::size_t>(page)) return nullptr;
  const auto page_size = static_cast<std::size_t>(page);
  std::size_t stride = (size + kCacheLine - 1) / kCacheLine * kCacheLine;
  if (stride > page_size) stride = size;

  auto* pool = new (std::nothrow) VdsoGetrandom(entry, size, stride, page_size, static_cast<int>(params.mmap_prot),
                                                static_cast<int>(params.mmap_flags));
  if (pool == nullptr) return nullptr;
  // One page now: a kernel that refuses its own mapping flags is found out
  // before any request depends on them.
  if (!pool->map_page()) {
    delete pool;
    return nullptr;
  }
  g_pool.store(pool, std::memory_order_release);
  if (::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) {
    // The mapped page stays: it is one page, and the pointer is still stored.
    return nullptr;
  }
  return pool;
}

ssize_t VdsoGetrandom::read(std::uint8_t* buf, std::size_t len) noexcept {
  void* state = t_state;
  if (state == nullptr) [[unlikely]] {
    state = state_for_this_thread();
    if (state == nullptr) return ::getrandom(buf, len, 0);
  }
  const ssize_t n = entry_(buf, len, 0, state, state_size_);
  if (n >= 0) return n;
  // Not an error number: a count of zero, which the caller reports as the
  // unexpected situation it is.
  if (n < -kMaxErrno) return 0;
  errno = static_cast<int>(-n);
  return -1;
}

void* VdsoGetrandom::state_for_this_thread() noexcept {
  if (t_ended) return nullptr;
  void* state = nullptr;
  {
    const std::lock_guard lock(mutex_);
    if (free_.empty() && !map_page()) return nullptr;
    state = free_.back();
    free_.pop_back();
  }
  // First use of the thread-exit object registers its destructor.
  static_cast<void>(&thread_end_);
  t_state = state;
  return state;
}

bool VdsoGetrandom::map_page() noexcept {
  const std::size_t per_page = page_size_ / stride_;
  try {
    pages_.reserve(pages_.size() + 1);
    free_.reserve((pages_.size() + 1) * per_page);
  } catch (const std::bad_alloc&) {
    return false;
  }
  void* page = ::mmap(nullptr, page_size_, prot_, flags_, -1, 0);
  if (page == MAP_FAILED) return false;
  auto* bytes = static_cast<std::uint8_t*>(page);
  pages_.push_back(bytes);
  // Handed out from the back: the page's first state first.
  for (std::size_t k = per_page; k-- > 0;) free_.push_back(bytes + k * stride_);
  return true;
}

void VdsoGetrandom::give_back(void* state) noexcept {
  const std::lock_guard lock(mutex_);
  free_.push_back(state);  // within the capacity reserved when its page was mapped
}

std::size_t VdsoGetrandom::states_made() {
  const std::lock_guard lock(mutex_);
  return pages_.size() * (page_size_ / stride_);
}

// Holding the lock across fork() keeps the child from inheriting it locked
// by a thread that the child does not have.
void VdsoGetrandom::before_fork() noexcept { g_pool.load(std::memory_order_acquire)->mutex_.lock(); }

void VdsoGetrandom::after_fork_in_parent() noexcept { g_pool.load(std::memory_order_acquire)->mutex_.unlock(); }

// Only the forking thread lives on in the child, so every state but its own
// is free again. Their contents were wiped by the fork.
void VdsoGetrandom::after_fork_in_child() noexcept {
  VdsoGetrandom& pool = *g_pool.load(std::memory_order_acquire);
  pool.free_.clear();
  const std::size_t per_page = pool.page_size_ / pool.stride_;
  for (auto page = pool.pages_.rbegin(); page != pool.pages_.rend(); ++page) {
    for (std::size_t k = per_page; k-- > 0;) {
      void* state = *page + k * pool.stride_;
      if (state != t_state) pool.free_.push_back(state);
    }
  }
  pool.mutex_.unlock();
}

}  // namespace korvanta::detail
