// The random source through the kernel's vDSO, in a process with the C
// library's own getrandom: per-thread states across many threads and their
// reuse, and a forked child that must not repeat its parent's bytes.
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../src/os_random.hpp"
#include "../src/vdso_getrandom.hpp"
#include "korvanta/uuid.hpp"

namespace korvanta {
namespace {

using detail::RandomSource;

// x86_64 kernels offer getrandom in the vDSO since 6.11.
bool kernel_offers_vdso_getrandom() {
  utsname name{};
  if (::uname(&name) != 0 || std::string(name.machine) != "x86_64") return false;
  int major = 0;
  int minor = 0;
  if (std::sscanf(name.release, "%d.%d", &major, &minor) != 2) return false;
  return major > 6 || (major == 6 && minor >= 11);
}

class VdsoRandom : public testing::Test {
 protected:
  void SetUp() override {
    if (!kernel_offers_vdso_getrandom()) GTEST_SKIP() << "kernel without getrandom in its vDSO";
    ASSERT_EQ(detail::os_random_source(), RandomSource::Vdso);
    pool_ = detail::VdsoGetrandom::find();
    ASSERT_NE(pool_, nullptr);
  }
  detail::VdsoGetrandom* pool_ = nullptr;
};

// `threads` threads alive at once, each drawing `per_thread` identifiers
// before any of them ends.
std::vector<std::string> draw_in_threads(int threads, int per_thread) {
  std::vector<std::vector<std::string>> drawn(static_cast<std::size_t>(threads));
  std::latch all_drawn(threads);
  std::vector<std::thread> running;
  for (auto& ids : drawn) {
    running.emplace_back([&ids, &all_drawn, per_thread] {
      for (int i = 0; i < per_thread; ++i) ids.push_back(Uuid::new_v4().to_string());
      all_drawn.arrive_and_wait();
    });
  }
  for (auto& thread : running) thread.join();
  std::vector<std::string> all;
  for (const auto& ids : drawn) all.insert(all.end(), ids.begin(), ids.end());
  return all;
}

TEST_F(VdsoRandom, ThreadsGetTheirOwnStatesAndHandThemBackAtExit) {
  constexpr int kThreads = 40;
  const std::vector<std::string> first = draw_in_threads(kThreads, 50);
  const std::size_t states = pool_->states_made();
  EXPECT_GE(states, std::size_t{kThreads});
  const std::vector<std::string> second = draw_in_threads(kThreads, 50);
  // The second wave runs on the states the first one gave back.
  EXPECT_EQ(pool_->states_made(), states);

  std::set<std::string> seen(first.begin(), first.end());
  seen.insert(second.begin(), second.end());
  EXPECT_EQ(seen.size(), first.size() + second.size());
  for (const std::string& text : seen) ASSERT_EQ(text[14], '4') << text;
}

// The child starts from a copy of the parent, states included, unless the
// kernel wiped them: the two must still draw different identifiers. Threads
// of the parent hold states across the fork; in the child those states are
// free again, so as many new threads need no new page.
TEST_F(VdsoRandom, ForkedChildDrawsItsOwnBytesAndReusesTheGoneThreadsStates) {
  constexpr int kHolders = 8;
  constexpr int kDraws = 64;
  static_cast<void>(Uuid::new_v4());  // this thread holds a state too
  std::latch holding(kHolders);
  std::latch forked(1);
  std::vector<std::thread> holders;
  for (int i = 0; i < kHolders; ++i) {
    holders.emplace_back([&] {
      static_cast<void>(Uuid::new_v4());
      holding.count_down();
      forked.wait();
    });
  }
  holding.wait();
  const std::size_t states = pool_->states_made();

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe_fds[0]);
    std::string out;
    for (int i = 0; i < kDraws; ++i) out += Uuid::new_v4().to_string();
    for (const std::string& text : draw_in_threads(kHolders, 1)) out += text;
    const bool ok = detail::os_random_source() == RandomSource::Vdso && pool_->states_made() == states;
    const bool written = ::write(pipe_fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
    ::_exit(ok && written ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  forked.count_down();
  for (auto& thread : holders) thread.join();

  std::set<std::string> seen;
  for (int i = 0; i < kDraws; ++i) seen.insert(Uuid::new_v4().to_string());
  std::string from_child;
  char chunk[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0;) {
    from_child.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child saw another source or mapped new states";

  constexpr std::size_t kText = 36;
  ASSERT_EQ(from_child.size(), (kDraws + kHolders) * kText);
  for (std::size_t at = 0; at < from_child.size(); at += kText) seen.insert(from_child.substr(at, kText));
  EXPECT_EQ(seen.size(), std::size_t{2 * kDraws + kHolders});
}

}  // namespace
}  // namespace korvanta
