// StringMap: the text-to-text map of tags, metadata and event data. Keys are
// unique; iteration follows insertion order; lookups hash with a per-map
// random key, so keys crafted to collide cannot degrade it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "korvanta/short_text.hpp"

namespace korvanta {

class StringMap {
 public:
  // Keys and values are ShortTexts: a tag or a metadata entry is mostly a
  // word or two, which then needs no allocation of its own.
  struct Entry {
    ShortText key;
    ShortText value;
  };

  // An empty map: one null pointer, nothing allocated until the first
  // insertion. Its hashing key, derived from a per-process random seed (one
  // random-source request per process, not one per map), is taken only when
  // the map grows past kLinearMax entries.
  StringMap() noexcept = default;
  StringMap(const StringMap& other);
  StringMap(StringMap&& other) noexcept : rep_(std::exchange(other.rep_, nullptr)) {}
  StringMap& operator=(const StringMap& other);
  StringMap& operator=(StringMap&& other) noexcept;
  ~StringMap();

  // Draws the per-process seed if no map has yet (a random-source request;
  // throws korvanta::Fault when it fails). Record creation calls this, so
  // that inserting into a map, a setter, never needs the random source.
  static void prepare_seed();

  // Inserts the pair, or replaces the value of an existing key in place
  // (keeping the key's position in the iteration order).
  void insert_or_assign(std::string_view key, std::string_view value);
  // The same with the texts made already: a static key or value
  // (ShortText::of_static) is then held, not copied.
  void insert_or_assign(ShortText key, ShortText value);
  // The value for `key`, or nullptr.
  const ShortText* find(std::string_view key) const noexcept;

  // Room for `count` entries in all, made at once: for a map that is about
  // to be given that many, which then grows its block once, not twice.
  void reserve(std::size_t count);

  // Gives back the room kept for further entries: for a map whose record is
  // finished and kept, holding only what it has. Only a request: when the
  // smaller block cannot be had, the map stays as it is; and a block of at
  // most kLinearMax entries is kept: a copy to save a few entries costs
  // more than they do.
  void shrink_to_fit() noexcept;

  std::size_t size() const noexcept;
  bool empty() const noexcept { return size() == 0; }
  // Iteration in insertion order; a copy iterates in the same order.
  const Entry* begin() const noexcept;
  const Entry* end() const noexcept { return begin() + size(); }

  // Up to this many entries, a lookup compares keys one by one: a handful
  // of comparisons, and no table to keep. Past it, a keyed hash index.
  static constexpr std::size_t kLinearMax = 8;

 private:
  struct Rep;
  struct Index;
  void reallocate(std::size_t capacity, Index* index);
  void append(ShortText key, ShortText value);
  std::size_t position(std::string_view key) const noexcept;

  // One block: a header, then the entries. Null for an empty map.
  Rep* rep_ = nullptr;
};

}  // namespace korvanta
