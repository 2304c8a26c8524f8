// StringMap: insertion-ordered entries with a keyed SipHash-1-3 index.
#include "korvanta/string_map.hpp"

#include <atomic>
#include <cstring>
#include <mutex>

#include "os_random.hpp"

namespace korvanta {
namespace {

struct Seed {
  std::uint64_t k0;
  std::uint64_t k1;
};

// Drawn once per process. A failed draw is not remembered, so a later map
// tries again (the failure is the random source's internal fault).
Seed process_seed() {
  static std::mutex mutex;
  static std::atomic<bool> ready{false};
  static Seed seed;
  if (ready.load(std::memory_order_acquire)) return seed;
  std::lock_guard lock(mutex);
  if (!ready.load(std::memory_order_relaxed)) {
    std::uint8_t bytes[16];
    detail::fill_os_random(bytes, sizeof bytes);
    std::memcpy(&seed.k0, bytes, 8);
    std::memcpy(&seed.k1, bytes + 8, 8);
    ready.store(true, std::memory_order_release);
  }
  return seed;
}

std::atomic<std::uint64_t> g_map_counter{0};

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
};

// SipHash-1-3, as used by hash tables that must withstand chosen keys.
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view data) {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  const std::size_t len = data.size();
  const char* p = data.data();
  const std::size_t full = len & ~std::size_t{7};
  for (std::size_t i = 0; i < full; i += 8) {
    std::uint64_t m;
    std::memcpy(&m, p + i, 8);
    s.v3 ^= m;
    s.round();
    s.v0 ^= m;
  }
  std::uint64_t last = static_cast<std::uint64_t>(len) << 56;
  for (std::size_t i = 0; i < (len & 7); ++i) {
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[full + i])) << (8 * i);
  }
  s.v3 ^= last;
  s.round();
  s.v0 ^= last;
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace

void StringMap::prepare_seed() { process_seed(); }

// Each map gets its own key: the seed with a per-map counter folded in. It is
// taken with the first entry: most maps of a span (action metadata, event
// data) stay empty and never need one.
void StringMap::choose_key() {
  const Seed seed = process_seed();
  k0_ = seed.k0 + g_map_counter.fetch_add(1, std::memory_order_relaxed);
  k1_ = seed.k1;
}

std::uint64_t StringMap::hash(std::string_view key) const noexcept { return siphash13(k0_, k1_, key); }

// The slot holding `key`, or the empty slot where it would go.
std::size_t StringMap::slot_of(std::string_view key, std::uint64_t h) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    const std::uint32_t ref = slots_[i];
    if (ref == 0) return i;
    const Entry& e = entries_[ref - 1];
    if (e.hash == h && e.key == key) return i;
  }
}

void StringMap::grow() {
  std::vector<std::uint32_t> slots(slots_.empty() ? 8 : slots_.size() * 2, 0);
  // The table stays at most half full, so the entries fit until the next
  // growth: one allocation per doubling instead of the vector's own steps.
  entries_.reserve(slots.size() / 2);
  const std::size_t mask = slots.size() - 1;
  for (std::size_t n = 0; n < entries_.size(); ++n) {
    std::size_t i = entries_[n].hash & mask;
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = static_cast<std::uint32_t>(n + 1);
  }
  slots_.swap(slots);
}

void StringMap::insert_or_assign(std::string key, std::string value) {
  if (slots_.empty()) choose_key();
  if ((entries_.size() + 1) * 2 > slots_.size()) grow();
  const std::uint64_t h = hash(key);
  const std::size_t i = slot_of(key, h);
  if (slots_[i] != 0) {
    entries_[slots_[i] - 1].value = std::move(value);
    return;
  }
  entries_.push_back(Entry{std::move(key), std::move(value), h});
  slots_[i] = static_cast<std::uint32_t>(entries_.size());
}

const std::string* StringMap::find(std::string_view key) const noexcept {
  if (slots_.empty()) return nullptr;
  const std::uint64_t h = hash(key);
  const std::uint32_t ref = slots_[slot_of(key, h)];
  return ref == 0 ? nullptr : &entries_[ref - 1].value;
}

}  // namespace korvanta
