// StringMap: insertion-ordered entries in one block, with a keyed SipHash-1-3
// index once the map is past a handful of entries.
#include "korvanta/string_map.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

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

// The block's header. The entries follow it, after the index pointer in a
// map that has an index: a small map's block holds 8 bytes besides its
// entries.
struct StringMap::Rep {
  static constexpr std::uint32_t kIndexed = std::uint32_t{1} << 31;
  static constexpr std::size_t kMaxEntries = kIndexed - 1;

  std::uint32_t size;
  std::uint32_t bits;  // the capacity in entries, and kIndexed

  std::size_t capacity() const noexcept { return bits & ~kIndexed; }
  bool indexed() const noexcept { return (bits & kIndexed) != 0; }
  std::byte* after_header() noexcept { return reinterpret_cast<std::byte*>(this) + sizeof(Rep); }
  Index* index() noexcept { return indexed() ? *std::launder(reinterpret_cast<Index**>(after_header())) : nullptr; }
  Entry* entries() noexcept {
    return std::launder(reinterpret_cast<Entry*>(after_header() + (indexed() ? sizeof(Index*) : 0)));
  }

  // A block for `capacity` entries that owns `index` (may be null) once made.
  static Rep* allocate(std::size_t capacity, Index* index) {
    static_assert(sizeof(Rep) % alignof(Entry) == 0 && sizeof(Index*) % alignof(Entry) == 0,
                  "the entries follow the header, aligned");
    const std::size_t extra = index == nullptr ? 0 : sizeof(Index*);
    void* block = ::operator new(sizeof(Rep) + extra + capacity * sizeof(Entry));
    auto* rep = ::new (block) Rep{0, static_cast<std::uint32_t>(capacity) | (index == nullptr ? 0 : kIndexed)};
    if (index != nullptr) ::new (rep->after_header()) Index*(index);
    return rep;
  }
  // Destroys the entries and frees the block; the index is the caller's.
  static void free_block(Rep* rep) noexcept {
    std::destroy_n(rep->entries(), rep->size);
    rep->~Rep();
    ::operator delete(rep);
  }
  static void release(Rep* rep) noexcept;
};

// Open addressing with linear probing: 0 is an empty slot, i + 1 refers to
// entry i. A power of two in size, kept at most half full. Each map has its
// own hashing key: the seed with a per-map counter folded in.
struct StringMap::Index {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
  std::vector<std::uint32_t> slots;
  std::vector<std::uint64_t> hashes;  // per entry, so growing never rehashes

  std::uint64_t hash(std::string_view key) const noexcept { return siphash13(k0, k1, key); }

  // The slot holding `key`, or the empty slot where it would go.
  std::size_t slot_of(const Entry* entries, std::string_view key, std::uint64_t h) const noexcept {
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      const std::uint32_t ref = slots[i];
      if (ref == 0) return i;
      if (hashes[ref - 1] == h && entries[ref - 1].key == key) return i;
    }
  }

  void place(std::size_t n) noexcept {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = hashes[n] & mask;
    while (slots[i] != 0) i = (i + 1) & mask;
    slots[i] = static_cast<std::uint32_t>(n + 1);
  }

  // Room for `count` entries, reserved before an entry is added so that
  // adding it cannot fail halfway.
  void make_room(std::size_t count) {
    if (hashes.capacity() < count) hashes.reserve(std::max(count, 2 * hashes.capacity()));
    if (count * 2 <= slots.size()) return;
    std::size_t size = slots.empty() ? 8 : slots.size();
    while (count * 2 > size) size *= 2;
    slots.assign(size, 0);
    for (std::size_t n = 0; n < hashes.size(); ++n) place(n);
  }
};

void StringMap::Rep::release(Rep* rep) noexcept {
  delete rep->index();
  free_block(rep);
}

StringMap::StringMap(const StringMap& other) {
  if (other.empty()) return;
  std::unique_ptr<Index> index;
  if (const Index* from = other.rep_->index()) index = std::make_unique<Index>(*from);
  Rep* rep = Rep::allocate(other.size(), index.get());
  index.release();  // the block owns it now
  try {
    const Entry* from = other.begin();
    for (; rep->size < other.rep_->size; ++rep->size) ::new (rep->entries() + rep->size) Entry(from[rep->size]);
  } catch (...) {
    Rep::release(rep);
    throw;
  }
  rep_ = rep;
}

StringMap& StringMap::operator=(const StringMap& other) {
  if (this != &other) *this = StringMap(other);
  return *this;
}

StringMap& StringMap::operator=(StringMap&& other) noexcept {
  if (this != &other) {
    if (rep_ != nullptr) Rep::release(rep_);
    rep_ = std::exchange(other.rep_, nullptr);
  }
  return *this;
}

StringMap::~StringMap() {
  if (rep_ != nullptr) Rep::release(rep_);
}

std::size_t StringMap::size() const noexcept { return rep_ == nullptr ? 0 : rep_->size; }

const StringMap::Entry* StringMap::begin() const noexcept { return rep_ == nullptr ? nullptr : rep_->entries(); }

// Moves the entries into a block of `capacity` (at least size()) entries
// that owns `index`, this map's index or a new one.
void StringMap::reallocate(std::size_t capacity, Index* index) {
  Rep* rep = Rep::allocate(capacity, index);
  if (rep_ != nullptr) {
    // Moving a ShortText cannot throw, so no entry is lost on the way.
    std::uninitialized_move_n(rep_->entries(), rep_->size, rep->entries());
    rep->size = rep_->size;
    Rep::free_block(rep_);
  }
  rep_ = rep;
}

void StringMap::reserve(std::size_t count) {
  if (count > Rep::kMaxEntries) throw std::length_error("StringMap: too many entries");
  if (count <= (rep_ == nullptr ? 0 : rep_->capacity())) return;
  reallocate(count, rep_ == nullptr ? nullptr : rep_->index());
}

void StringMap::shrink_to_fit() noexcept {
  if (rep_ == nullptr || rep_->size == rep_->capacity() || rep_->capacity() <= kLinearMax) return;
  try {
    reallocate(rep_->size, rep_->index());
  } catch (const std::bad_alloc&) {
    // Only a request, as std::vector's: the larger block stays.
  }
}

// The position of `key` among the entries, or size() when it is absent.
std::size_t StringMap::position(std::string_view key) const noexcept {
  const std::size_t n = size();
  if (n == 0) return 0;
  Entry* entries = rep_->entries();
  if (const Index* index = rep_->index()) {
    const std::uint32_t ref = index->slots[index->slot_of(entries, key, index->hash(key))];
    return ref == 0 ? n : ref - 1;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (entries[i].key == key) return i;
  }
  return n;
}

void StringMap::insert_or_assign(std::string_view key, std::string_view value) {
  if (const std::size_t at = position(key); at < size()) {
    rep_->entries()[at].value = value;
    return;
  }
  append(ShortText(key), ShortText(value));
}

void StringMap::insert_or_assign(ShortText key, ShortText value) {
  if (const std::size_t at = position(key); at < size()) {
    rep_->entries()[at].value = std::move(value);
    return;
  }
  append(std::move(key), std::move(value));
}

// Adds an entry for a key the map does not hold.
void StringMap::append(ShortText key, ShortText value) {
  const std::size_t n = size();
  if (n == Rep::kMaxEntries) throw std::length_error("StringMap: too many entries");
  // Whatever can fail (the seed, the index, the block) comes before the
  // entry is added, so a failure leaves the map as it was.
  Entry entry{std::move(key), std::move(value)};
  const std::size_t grown = n < 4 ? 4 : std::min(2 * n, Rep::kMaxEntries);
  Index* index = rep_ == nullptr ? nullptr : rep_->index();
  if (index == nullptr && n + 1 > kLinearMax) {
    // The map outgrows comparing key by key: its index, and a block with
    // room for the pointer to it.
    auto made = std::make_unique<Index>();
    const Seed seed = process_seed();
    made->k0 = seed.k0 + g_map_counter.fetch_add(1, std::memory_order_relaxed);
    made->k1 = seed.k1;
    made->hashes.reserve(n + 1);
    for (const Entry& e : *this) made->hashes.push_back(made->hash(e.key));
    made->make_room(n + 1);
    // The block the index needs keeps any room reserved beyond it.
    const std::size_t kept = rep_ == nullptr ? 0 : rep_->capacity();
    reallocate(std::max({grown, n + 1, kept}), made.get());
    index = made.release();
  } else {
    if (index != nullptr) index->make_room(n + 1);
    if (rep_ == nullptr || n == rep_->capacity()) reallocate(grown, index);
  }
  ::new (rep_->entries() + n) Entry{std::move(entry)};
  rep_->size = static_cast<std::uint32_t>(n + 1);
  if (index != nullptr) {
    index->hashes.push_back(index->hash(rep_->entries()[n].key));
    index->place(n);
  }
}

const ShortText* StringMap::find(std::string_view key) const noexcept {
  const std::size_t at = position(key);
  return at < size() ? &rep_->entries()[at].value : nullptr;
}

}  // namespace korvanta
