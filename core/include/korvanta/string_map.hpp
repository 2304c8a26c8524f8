// StringMap: the text-to-text map of tags, metadata and event data. Keys are
// unique; iteration follows insertion order; lookups hash with a per-map
// random key, so keys crafted to collide cannot degrade it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvanta {

class StringMap {
 public:
  struct Entry {
    std::string key;
    std::string value;
    std::uint64_t hash;
  };

  // An empty map. Its hashing key, derived from a per-process random seed
  // (one random-source request per process, not one per map), is taken with
  // the first insertion; nothing is allocated until then either.
  StringMap() = default;

  // Draws the per-process seed if no map has yet (a random-source request;
  // throws korvanta::Fault when it fails). Record creation calls this, so
  // that inserting into a map, a setter, never needs the random source.
  static void prepare_seed();

  // Inserts the pair, or replaces the value of an existing key in place
  // (keeping the key's position in the iteration order).
  void insert_or_assign(std::string key, std::string value);
  // The value for `key`, or nullptr.
  const std::string* find(std::string_view key) const noexcept;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  // Iteration in insertion order; a copy iterates in the same order.
  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }

 private:
  std::uint64_t hash(std::string_view key) const noexcept;
  std::size_t slot_of(std::string_view key, std::uint64_t h) const noexcept;
  void grow();
  void choose_key();

  std::uint64_t k0_ = 0;
  std::uint64_t k1_ = 0;
  std::vector<Entry> entries_;
  // Open addressing with linear probing: 0 is an empty slot, i + 1 refers to
  // entries_[i]. A power of two in size, kept at most half full.
  std::vector<std::uint32_t> slots_;
};

}  // namespace korvanta
