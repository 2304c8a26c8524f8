// JsonWriter::string: texts escaped as JSON strings. A loop copies the run
// of bytes that need no escaping, writes the escape, and repeats; finding
// and copying the runs is done by one of three scans (portable, SSE2, AVX2)
// chosen from the CPU, and none reads past the end of the text.
#include "korvanta/json_writer.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace korvanta {
namespace {

// Room past the end of a text's output that copying its clean runs may
// write into: the last short block of a text is stored whole.
constexpr std::size_t kSlack = 16;

// Second character of the two-character escapes (\" \\ \b \t \n \f \r);
// 0 for the other controls, which take the \u00XX form.
constexpr std::array<char, 256> kShortEscape = [] {
  std::array<char, 256> table{};
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  return table;
}();

constexpr char kHex[] = "0123456789abcdef";

constexpr bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

[[gnu::always_inline]] inline char* write_escape(char* dst, unsigned char c) {
  dst[0] = '\\';
  if (const char e = kShortEscape[c]; e != 0) {
    dst[1] = e;
    return dst + 2;
  }
  std::memcpy(dst + 1, "u00", 3);
  dst[4] = kHex[c >> 4];
  dst[5] = kHex[c & 0xF];
  return dst + 6;
}

// ---- Copying clean runs ----
//
// The helpers below are forced inline: the AVX2 loop must not call into
// code compiled for SSE, whose instructions would pay for the switch of
// vector state (copy_clean_avx2 is AVX2 code itself).

// What the scans of one text carry from one run to the next. A scan stops
// at the first escape, but it has looked at whole blocks: the other escapes
// in them and the clean bytes after those need no second look. So text
// dense with quotes (JSON inside a string) costs one scan per block, not per
// escape, and each scan starts where the last one stopped, at an address
// that does not wait for the position of the escape before it.
struct ScanState {
  // Nonzero once a byte >= 0x80 was seen.
  unsigned high = 0;
  // The escapes the last scan found past the one it stopped at: bit i for
  // the byte i places after that one.
  std::uint64_t pending = 0;
  // The end of the bytes the scans have looked at.
  const char* scanned = nullptr;
};

// Each `copy_clean_*` has the same contract. [src, end) is not empty and
// nothing is pending. It copies the bytes at the start of [src, end) up to
// the first byte that needs escaping (or all of them) to dst, returns how
// many it copied, and notes in `state` the end of the bytes it looked at,
// the other escapes among them, and whether a byte >= 0x80 was among them.
// It reads only [src, end); it may write up to kSlack bytes past
// dst + (end - src). Finding the run and copying it are one pass: every
// block that is checked is stored as it stands.

constexpr std::uint64_t kOnes = 0x0101010101010101;

// Nonzero when some byte of `word` needs escaping. Exact as a yes or no;
// which byte it is the caller finds out byte by byte.
constexpr std::uint64_t any_special(std::uint64_t word) {
  constexpr std::uint64_t kHigh = kOnes * 0x80;
  const auto any_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
  const std::uint64_t any_control = (word - kOnes * 0x20) & ~word & kHigh;
  return any_control | any_zero(word ^ (kOnes * '"')) | any_zero(word ^ (kOnes * '\\'));
}

// Eight bytes at a time in a plain register, for machines without SSE2.
std::size_t copy_clean_portable(char* dst, const char* src, const char* end, ScanState& state) {
  const auto len = static_cast<std::size_t>(end - src);
  std::size_t n = 0;
  std::uint64_t seen = 0;
  for (; len - n >= 8; n += 8) {
    std::uint64_t word;
    std::memcpy(&word, src + n, 8);
    if (any_special(word) != 0) break;
    std::memcpy(dst + n, &word, 8);
    seen |= word;
  }
  for (; n != len && !needs_escape(static_cast<unsigned char>(src[n])); ++n) {
    dst[n] = src[n];
    seen |= static_cast<unsigned char>(src[n]);
  }
  state.high |= static_cast<unsigned>((seen & (kOnes * 0x80)) != 0);
  state.scanned = n == len ? end : src + n + 1;
  return n;
}

// Copies n < 64 bytes with overlapping fixed-size moves, touching nothing
// outside [src, src + n) and [dst, dst + n).
[[gnu::always_inline]] inline void copy_short(char* dst, const char* src, std::size_t n) {
  const auto both_ends = [&](auto size) {
    std::memcpy(dst, src, size);
    std::memcpy(dst + n - size, src + n - size, size);
  };
  if (n >= 32) {
    both_ends(std::integral_constant<std::size_t, 32>());
  } else if (n >= 16) {
    both_ends(std::integral_constant<std::size_t, 16>());
  } else if (n >= 8) {
    both_ends(std::integral_constant<std::size_t, 8>());
  } else if (n >= 4) {
    both_ends(std::integral_constant<std::size_t, 4>());
  } else if (n != 0) {
    dst[0] = src[0];
    dst[n / 2] = src[n / 2];
    dst[n - 1] = src[n - 1];
  }
}

#if defined(__SSE2__)
// Bit i set when byte i of the block needs escaping.
[[gnu::always_inline]] inline unsigned special_mask(__m128i block) {
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  // A byte is a control exactly when max(byte, 0x1F) == 0x1F (unsigned).
  const __m128i special = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
      _mm_cmpeq_epi8(_mm_max_epu8(block, control_max), control_max));
  return static_cast<unsigned>(_mm_movemask_epi8(special));
}

// The first escape of a step's `mask`, the others left pending.
[[gnu::always_inline]] inline std::size_t stop_at(std::uint64_t mask, ScanState& state) {
  const auto first = static_cast<unsigned>(__builtin_ctzll(mask));
  state.pending = mask >> first >> 1;
  return first;
}

template <class T>
[[gnu::always_inline]] inline T load(const char* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// The `n` bytes at p (0 < n < 16) in the low lanes of a vector, zeros above,
// reading none past them: two overlapping word loads, the second shifted
// so that its bytes land at their own offsets.
[[gnu::always_inline]] inline __m128i load_partial(const char* p, std::size_t n) {
  if (n > 8) {
    const std::uint64_t high = load<std::uint64_t>(p + n - 8) >> (8 * (16 - n));
    return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                              _mm_cvtsi64_si128(static_cast<long long>(high)));
  }
  std::uint64_t low;
  if (n >= 4) {
    low = std::uint64_t{load<std::uint32_t>(p + n - 4)} << (8 * (n - 4)) | load<std::uint32_t>(p);
  } else {
    const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i); };
    low = byte(0) | byte(n / 2) | byte(n - 1);
  }
  return _mm_cvtsi64_si128(static_cast<long long>(low));
}

// Fewer than 16 bytes in all: one partial block.
[[gnu::always_inline]] inline std::size_t copy_clean_short(char* dst, const char* src, std::size_t len, ScanState& state) {
  const __m128i block = load_partial(src, len);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), block);
  state.high |= static_cast<unsigned>(_mm_movemask_epi8(block));
  state.scanned = src + len;
  // The zeros past the text would read as controls.
  const unsigned mask = special_mask(block) & ((1u << len) - 1);
  return mask != 0 ? stop_at(mask, state) : len;
}

// Copies the 16-byte blocks at n and n + second (second <= 16); bit i of
// the result for byte n + i to escape.
[[gnu::always_inline]] inline std::uint64_t copy_step(char* dst, const char* src, std::size_t n, std::size_t second, __m128i& seen) {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n + second));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + n), a);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + n + second), b);
  seen = _mm_or_si128(seen, _mm_or_si128(a, b));
  return special_mask(a) | std::uint64_t{special_mask(b)} << second;
}

// Two 16-byte blocks per step. The last step ends at the end of the text,
// overlapping the one before; below 32 bytes its two blocks overlap each
// other. Bytes read twice were found clean (or are the same escape) the
// first time and are rewritten as they were.
[[gnu::always_inline]] inline std::size_t copy_clean_sse2(char* dst, const char* src, const char* end, ScanState& state) {
  const auto len = static_cast<std::size_t>(end - src);
  if (len < 16) return copy_clean_short(dst, src, len, state);
  const std::size_t last = len < 32 ? 0 : len - 32;
  __m128i seen = _mm_setzero_si128();
  std::size_t n = 0;
  std::uint64_t mask = 0;
  for (; n < last && (mask = copy_step(dst, src, n, 16, seen)) == 0; n += 32) {
  }
  if (mask == 0) mask = copy_step(dst, src, n = last, len < 32 ? len - 16 : 16, seen);
  state.high |= static_cast<unsigned>(_mm_movemask_epi8(seen));
  state.scanned = n == last ? end : src + n + 32;
  return mask != 0 ? n + stop_at(mask, state) : len;
}

// Compiled for AVX2 while the rest of the library stays baseline x86-64;
// only called once the CPU check has found AVX2.
[[gnu::target("avx2"), gnu::always_inline]] inline unsigned special_mask(__m256i block) {
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i backslash = _mm256_set1_epi8('\\');
  const __m256i control_max = _mm256_set1_epi8(0x1F);
  const __m256i special = _mm256_or_si256(
      _mm256_or_si256(_mm256_cmpeq_epi8(block, quote), _mm256_cmpeq_epi8(block, backslash)),
      _mm256_cmpeq_epi8(_mm256_max_epu8(block, control_max), control_max));
  return static_cast<unsigned>(_mm256_movemask_epi8(special));
}

// copy_step with 32-byte blocks (second <= 32).
[[gnu::target("avx2"), gnu::always_inline]] inline std::uint64_t copy_step(char* dst, const char* src, std::size_t n, std::size_t second,
                                                     __m256i& seen) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + n));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + n + second));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + n), a);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + n + second), b);
  seen = _mm256_or_si256(seen, _mm256_or_si256(a, b));
  return special_mask(a) | std::uint64_t{special_mask(b)} << second;
}

// One 32-byte block first, since in text with escapes most runs end in it;
// then two blocks per step, the last step overlapping as in
// copy_clean_sse2. Fewer than 64 bytes in all go to that.
[[gnu::target("avx2")]] inline std::size_t copy_clean_avx2(char* dst, const char* src, const char* end, ScanState& state) {
  const auto len = static_cast<std::size_t>(end - src);
  if (len < 64) return copy_clean_sse2(dst, src, end, state);
  __m256i seen = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), seen);
  std::uint64_t mask = special_mask(seen);
  std::size_t n = 0;
  std::size_t step = 32;
  if (mask == 0) {
    const std::size_t last = len - 64;
    step = 64;
    for (n = 32; n < last && (mask = copy_step(dst, src, n, 32, seen)) == 0; n += 64) {
    }
    if (mask == 0) mask = copy_step(dst, src, n = last, 32, seen);
  }
  state.high |= static_cast<unsigned>(_mm256_movemask_epi8(seen));
  state.scanned = src + n + step;
  return mask != 0 ? n + stop_at(mask, state) : len;
}

#endif

// Copies a run of fewer than 64 bytes at src, with fixed-size moves where
// the text has room for them; with fewer than 16 bytes left, all of them,
// into the slack. The bytes copied past the run are rewritten later.
[[gnu::always_inline]] inline void copy_run(char* dst, const char* src, std::size_t run, const char* end) {
  const auto readable = static_cast<std::size_t>(end - src);
  if (readable < 16) {
#if defined(__SSE2__)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), load_partial(src, readable));
#else
    copy_short(dst, src, readable);
#endif
  } else if (run <= 16) {
    std::memcpy(dst, src, 16);
  } else if (readable >= 64) {
    std::memcpy(dst, src, 64);
  } else {
    copy_short(dst, src, run);
  }
}

// The run from src (which the scans have reached) to the next byte to
// escape, copied; returns its length. Pending escapes and the clean bytes
// after them come from the last scan; past those, CopyClean scans on.
template <auto CopyClean>
[[gnu::always_inline]] inline std::size_t next_run(char* dst, const char* src, const char* end, ScanState& state) {
  if (state.pending != 0) {
    const auto run = static_cast<std::size_t>(__builtin_ctzll(state.pending));
    state.pending >>= run + 1;
    copy_run(dst, src, run, end);
    return run;
  }
  const auto known = static_cast<std::size_t>(state.scanned - src);
  copy_run(dst, src, known, end);
  if (state.scanned == end) return known;
  return known + CopyClean(dst + known, state.scanned, end, state);
}

// The scan in use, as an EscapeScan; kUnchosen until the first text is
// written or a caller picks one.
constexpr std::uint8_t kUnchosen = 0xFF;
constinit std::atomic<std::uint8_t> g_scan{kUnchosen};

bool cpu_has_avx2() noexcept {
#if defined(__SSE2__)
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#else
  return false;
#endif
}

[[gnu::cold]] EscapeScan choose_scan() noexcept {
  const EscapeScan best = cpu_has_avx2()                               ? EscapeScan::Avx2
                          : escape_scan_available(EscapeScan::Sse2) ? EscapeScan::Sse2
                                                                      : EscapeScan::Portable;
  std::uint8_t expected = kUnchosen;
  // A scan picked meanwhile by use_escape_scan stays.
  g_scan.compare_exchange_strong(expected, static_cast<std::uint8_t>(best), std::memory_order_relaxed);
  return static_cast<EscapeScan>(g_scan.load(std::memory_order_relaxed));
}

inline EscapeScan current_scan() noexcept {
  const std::uint8_t scan = g_scan.load(std::memory_order_relaxed);
  if (scan != kUnchosen) [[likely]] return static_cast<EscapeScan>(scan);
  return choose_scan();
}

}  // namespace

struct JsonWriter::Escaper {
  // Copy the clean run, write the escape, repeat. Inlined into one function
  // per scan, so that the AVX2 one is compiled for AVX2 as a whole.
  template <auto CopyClean>
  [[gnu::always_inline]] static void write(JsonWriter& out, std::string_view text) {
    const char* src = text.data();
    const char* const end = src + text.size();
    // Room for the text unescaped, its quotes, the slack and a sixteenth
    // more for escapes, so that text with a few does not make the buffer
    // grow again.
    out.reserve(text.size() + text.size() / 16 + 2 + kSlack);
    char* dst = out.data_ + out.size_;
    *dst++ = '"';
    // Kept in locals: the members would be reloaded after every byte
    // stored. From here on, the room between dst and `limit` covers the
    // rest of the text unescaped and the closing quote; the slack lies past
    // `limit`.
    const char* limit = out.data_ + out.capacity_ - kSlack;
    ScanState state;
    state.scanned = src;
    while (src != end) {
      const std::size_t run = next_run<CopyClean>(dst, src, end, state);
      src += run;
      dst += run;
      if (src == end) break;
      // An escape takes up to 6 bytes for 1.
      const auto rest = static_cast<std::size_t>(end - src);
      if (static_cast<std::size_t>(limit - dst) < 6 + rest) [[unlikely]] {
        out.size_ = static_cast<std::size_t>(dst - out.data_);
        out.grow(6 + rest + kSlack);
        dst = out.data_ + out.size_;
        limit = out.data_ + out.capacity_ - kSlack;
      }
      dst = write_escape(dst, static_cast<unsigned char>(*src++));
    }
    *dst++ = '"';
    out.size_ = static_cast<std::size_t>(dst - out.data_);
    out.high_bits_ |= state.high;
  }

  // Out of line, so that string() saves no registers before its short path.
  [[gnu::noinline]] static void portable(JsonWriter& out, std::string_view text) {
    write<copy_clean_portable>(out, text);
  }
#if defined(__SSE2__)
  [[gnu::noinline]] static void sse2(JsonWriter& out, std::string_view text) { write<copy_clean_sse2>(out, text); }
  [[gnu::noinline, gnu::target("avx2")]] static void avx2(JsonWriter& out, std::string_view text) {
    write<copy_clean_avx2>(out, text);
  }
#endif

  // Most texts in a span are short and have nothing to escape: one or two
  // blocks settle those up to 32 bytes, the 16-byte scan those up to 128,
  // without the loop and its state. There is no call on this path (when the
  // room is short, the loop makes it), so it saves no registers either.
  // False for any other text; the loop then writes over what this wrote.
  static bool short_clean(JsonWriter& out, std::string_view text) {
#if defined(__SSE2__)
    const std::size_t n = text.size();
    if (n - 1 >= 128 || out.capacity_ - out.size_ < n + 2 + kSlack) return false;
    const char* const src = text.data();
    char* const dst = out.data_ + out.size_ + 1;
    unsigned high;
    if (n <= 32) {
      // Below 16 bytes one partial block, else the first 16 and the last 16.
      __m128i first;
      __m128i last;
      unsigned mask;
      if (n < 16) {
        first = last = load_partial(src, n);
        // The zeros past the text would read as controls.
        mask = special_mask(first) & ((1u << n) - 1);
      } else {
        first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n - 16));
        mask = special_mask(first) | special_mask(last);
      }
      if (mask != 0) return false;
      // The last block first: below 16 bytes it is the first block.
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (n < 16 ? 0 : n - 16)), last);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), first);
      high = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(first, last)));
    } else {
      ScanState state;
      if (copy_clean_sse2(dst, src, src + n, state) != n) return false;
      high = state.high;
    }
    dst[-1] = '"';
    dst[n] = '"';
    out.size_ += n + 2;
    out.high_bits_ |= high;
    return true;
#else
    (void)out;
    (void)text;
    return false;
#endif
  }
};

void JsonWriter::string(std::string_view text) {
  const EscapeScan scan = current_scan();
  if (scan != EscapeScan::Portable && Escaper::short_clean(*this, text)) return;
  switch (scan) {
#if defined(__SSE2__)
    case EscapeScan::Avx2:
      Escaper::avx2(*this, text);
      return;
    case EscapeScan::Sse2:
      Escaper::sse2(*this, text);
      return;
#endif
    default:
      Escaper::portable(*this, text);
  }
}

bool escape_scan_available(EscapeScan scan) noexcept {
  switch (scan) {
    case EscapeScan::Portable:
      return true;
#if defined(__SSE2__)
    case EscapeScan::Sse2:
      return true;
    case EscapeScan::Avx2:
      return cpu_has_avx2();
#endif
    default:
      return false;
  }
}

EscapeScan escape_scan() noexcept { return current_scan(); }

bool use_escape_scan(EscapeScan scan) noexcept {
  if (!escape_scan_available(scan)) return false;
  g_scan.store(static_cast<std::uint8_t>(scan), std::memory_order_relaxed);
  return true;
}

}  // namespace korvanta
