// The scanner's single pass: a prefilter that finds the few bytes where a
// rule could start (AVX2 where the processor has it, a table-driven loop
// otherwise, both selecting exactly the same positions), the dispatch of
// each hit to its validators, and the match sink.
#include <bit>
#include <cstring>

#include "scanner_scan.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORVANTA_SCAN_AVX2 1
#include <immintrin.h>
#endif

namespace korvanta {
namespace scanner_detail {
namespace {

// ---- what the prefilter looks for ----
//
// A position is a candidate when
//  1. its byte is one of the single-byte triggers: _ - : = @ < [ # + and the
//     lead bytes E2 EF F3 of the invisible characters;
//  2. it starts a run of digits;
//  3. it is a '.' with another '.' seven bytes on (Discord bot tokens); or
//  4. it and the next byte form one of the bigrams below, which anchor the
//     rules without a punctuation byte: the rarest pair inside each word
//     ("gn" of "ignore", "rg" of "forget" and "vergiss"), the fixed starts
//     of "eyJ" and "AIza", upper-case pairs (AKIA, SK, SG, DAN, GR1348941)
//     and the UTF-8 pairs of the Russian and Chinese verbs.
// English prose hits about one byte in a hundred, mostly at '-', ':' and
// digits.

// The bigrams, Teddy-style: eight buckets, each a set of first bytes and a
// set of second bytes, each set held as its low nibbles times its high
// nibbles (so slightly wider than listed; the validators check exactly).
struct Bucket {
  std::string_view first;
  std::string_view second;
};
constexpr std::array<Bucket, 8> kBuckets = {{
    {"gG", "nN"},                          // ignore, ignora, ignoriere
    {"sS", "rR"},                          // disregard
    {"rR", "gG"},                          // forget, vergiss
    {"uU", "bB"},                          // oublie
    {"lLsS", "vVqQ"},                      // olvida, esqueça
    {"yI", "Jz"},                          // eyJ (JWT), AIza (Google)
    {"ASBDG", "KSBC3GAR"},                 // AKIA ASIA ABIA ACCA A3T, SK, SG, DA(N), GR
    {"\xD0\xE5\xE6", "\xB1\xB3\xBF\x97"},  // б г (забудь, игнорируй), 忽 忘, 无
}};

struct NibbleTables {
  std::array<std::uint8_t, 16> first_lo{}, first_hi{}, second_lo{}, second_hi{};
  std::array<std::uint8_t, 16> single_lo{}, single_hi{};
  std::array<bool, 256> single{};
  std::array<bool, 256> could_start{};  // any test below can pass at this byte
};

constexpr NibbleTables kTables = [] {
  NibbleTables t;
  for (std::size_t b = 0; b < kBuckets.size(); ++b) {
    const auto bit = static_cast<std::uint8_t>(1u << b);
    for (char c : kBuckets[b].first) {
      const auto u = static_cast<unsigned char>(c);
      t.first_lo[u & 15] |= bit;
      t.first_hi[u >> 4] |= bit;
    }
    for (char c : kBuckets[b].second) {
      const auto u = static_cast<unsigned char>(c);
      t.second_lo[u & 15] |= bit;
      t.second_hi[u >> 4] |= bit;
    }
  }
  // Single-byte triggers, exactly: each high nibble in use owns one bit,
  // and the low nibble selects the set of high nibbles that go with it. The
  // ASCII triggers use high nibbles 2 to 5; E and F take the two bits left.
  constexpr std::array<int, 16> kBitOfHigh = {-1, -1, 2, 3, 4, 5, -1, -1, -1, -1, -1, -1, -1, -1, 6, 7};
  for (int h = 0; h < 16; ++h) {
    if (kBitOfHigh[h] >= 0) t.single_hi[h] = static_cast<std::uint8_t>(1u << kBitOfHigh[h]);
  }
  for (const unsigned char u : std::string_view("_-:=@<[#+\xE2\xEF\xF3")) {
    t.single_lo[u & 15] |= static_cast<std::uint8_t>(1u << kBitOfHigh[u >> 4]);
    t.single[u] = true;
  }
  for (int c = 0; c < 256; ++c) {
    t.could_start[c] = t.single[c] || (c >= '0' && c <= '9') || c == '.' || (t.first_lo[c & 15] & t.first_hi[c >> 4]) != 0;
  }
  return t;
}();

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

constexpr bool bigram_hit(unsigned char a, unsigned char b) {
  return (kTables.first_lo[a & 15] & kTables.first_hi[a >> 4] & kTables.second_lo[b & 15] &
          kTables.second_hi[b >> 4]) != 0;
}

// The candidate test for one position; the AVX2 kernel computes the same.
bool is_candidate(const unsigned char* p, std::size_t n, std::size_t i) {
  const unsigned char c = p[i];
  if (!kTables.could_start[c]) return false;
  if (kTables.single[c]) return true;
  if (is_digit(c)) return i == 0 || !is_digit(p[i - 1]);
  if (c == '.' && i + 7 < n && p[i + 7] == '.') return true;
  return i + 1 < n && bigram_hit(c, p[i + 1]);
}

// ---- dispatch ----

void dispatch(Scan& s, std::size_t i) {
  ++s.candidates;
  const unsigned char c = s.at(i);
  switch (c) {
    case '_':
      return on_underscore(s, i);
    case '-':
      return on_dash(s, i);
    case ':':
      return on_colon(s, i);
    case '=':
      return on_equals(s, i);
    case '@':
      return on_at(s, i);
    case '<':
      return on_angle(s, i);
    case '[':
      return on_bracket(s, i);
    case '#':
      return on_hash(s, i);
    case '+':
      return on_plus(s, i);
    case '.':
      return on_dot_pair(s, i);
    case 0xE2:
    case 0xEF:
    case 0xF3:
      return on_hidden_char(s, i);
    default:
      break;
  }
  if (is_digit(c)) return on_digit_run(s, i);
  const unsigned char d = s.at(i + 1);
  const char la = ascii_lower(static_cast<char>(c));
  const char lb = ascii_lower(static_cast<char>(d));
  if ((la == 'g' && lb == 'n') || (la == 's' && (lb == 'r' || lb == 'q')) || (la == 'r' && lb == 'g') ||
      (la == 'u' && lb == 'b') || (la == 'l' && lb == 'v') || c == 0xD0 || c == 0xE5 || c == 0xE6) {
    on_injection_verb(s, i);
  }
  if ((c == 'y' && d == 'J') || (c == 'I' && d == 'z')) return on_jwt_or_gcp(s, i);
  if (c >= 'A' && c <= 'Z' && s.resume <= i) on_upper_pair(s, i);
}

void scan_scalar(Scan& s, std::size_t from) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.text.data());
  const std::size_t n = s.size();
  for (std::size_t i = std::max(from, s.resume); i < n; i = std::max(i + 1, s.resume)) {
    while (i < n && !kTables.could_start[p[i]]) ++i;
    if (i < n && is_candidate(p, n, i)) dispatch(s, i);
  }
}

#ifdef KORVANTA_SCAN_AVX2

__attribute__((target("avx2"))) inline __m256i load32(const unsigned char* q) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
}

// The prefilter's tables and constants, held in registers across blocks.
struct Avx2Tables {
  __m256i first_lo, first_hi, second_lo, second_hi, single_lo, single_hi;
  __m256i nibble, below_zero, above_nine, dot, zero, ones;

  __attribute__((target("avx2"))) static __m256i table(const std::array<std::uint8_t, 16>& t) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data())));
  }
  __attribute__((target("avx2"))) Avx2Tables()
      : first_lo(table(kTables.first_lo)),
        first_hi(table(kTables.first_hi)),
        second_lo(table(kTables.second_lo)),
        second_hi(table(kTables.second_hi)),
        single_lo(table(kTables.single_lo)),
        single_hi(table(kTables.single_hi)),
        nibble(_mm256_set1_epi8(0x0F)),
        below_zero(_mm256_set1_epi8('0' - 1)),
        above_nine(_mm256_set1_epi8('9' + 1)),
        dot(_mm256_set1_epi8('.')),
        zero(_mm256_setzero_si256()),
        ones(_mm256_set1_epi8(-1)) {}

  __attribute__((target("avx2"))) __m256i digits(__m256i v) const {
    return _mm256_and_si256(_mm256_cmpgt_epi8(v, below_zero), _mm256_cmpgt_epi8(above_nine, v));
  }

  // The candidate mask of the 32 positions p[0] to p[31]; reads p[-1] to p[38].
  __attribute__((target("avx2"), noinline)) std::uint32_t classify(const unsigned char* p) const {
    const __m256i v0 = load32(p);
    const __m256i v1 = load32(p + 1);
    const __m256i lo0 = _mm256_and_si256(v0, nibble);
    const __m256i hi0 = _mm256_and_si256(_mm256_srli_epi16(v0, 4), nibble);
    const __m256i lo1 = _mm256_and_si256(v1, nibble);
    const __m256i hi1 = _mm256_and_si256(_mm256_srli_epi16(v1, 4), nibble);
    const __m256i pair = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(first_lo, lo0), _mm256_shuffle_epi8(first_hi, hi0)),
        _mm256_and_si256(_mm256_shuffle_epi8(second_lo, lo1), _mm256_shuffle_epi8(second_hi, hi1)));
    const __m256i single = _mm256_and_si256(_mm256_shuffle_epi8(single_lo, lo0), _mm256_shuffle_epi8(single_hi, hi0));
    const __m256i none = _mm256_cmpeq_epi8(_mm256_or_si256(pair, single), zero);
    const __m256i run_start = _mm256_andnot_si256(digits(load32(p - 1)), digits(v0));
    const __m256i dots = _mm256_and_si256(_mm256_cmpeq_epi8(v0, dot), _mm256_cmpeq_epi8(load32(p + 7), dot));
    const __m256i hit = _mm256_or_si256(_mm256_xor_si256(none, ones), _mm256_or_si256(run_start, dots));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(hit));
  }
};

// Bytes the kernel reads past the 64 positions of a block.
constexpr std::size_t kLookahead = 39 - 32;

// Advances `base` by whole blocks of 64 positions, while they hold no
// candidate and their reads stay inside the text (`n` bytes); returns the
// mask of the first block with one, or 0 where the text ends too soon.
__attribute__((target("avx2"))) std::uint64_t next_block(const Avx2Tables& t, const unsigned char* p,
                                                          std::size_t n, std::size_t& base) {
  while (base + 64 + kLookahead <= n) {
    const std::uint64_t mask = t.classify(p + base) | std::uint64_t{t.classify(p + base + 32)} << 32;
    if (mask != 0) return mask;
    base += 64;
  }
  return 0;
}

// Texts shorter than this go to the scalar loop: a block reads 72 bytes.
constexpr std::size_t kMinVector = 1 + 64 + kLookahead;

// Calls on_block(base, mask) for the blocks of 64 positions with a candidate
// among positions 1 to n - kLookahead - 1, the ones whose reads stay inside
// the text; the caller tests position 0 and the last kLookahead. The final
// block overlaps the one before it, its earlier positions masked off.
// on_block returns where to go on from (at least base + 64). Needs n >=
// kMinVector.
template <class OnBlock>
__attribute__((target("avx2"))) void vector_blocks(const unsigned char* p, std::size_t n, OnBlock on_block) {
  const Avx2Tables tables;
  const std::size_t last = n - 64 - kLookahead;  // start of the final block
  std::size_t base = 1;
  while (base <= last) {
    const std::uint64_t mask = next_block(tables, p, n, base);
    if (mask == 0) break;
    base = on_block(base, mask);
  }
  if (base < last + 64) {
    std::uint64_t mask = tables.classify(p + last) | std::uint64_t{tables.classify(p + last + 32)} << 32;
    if (base > last) mask &= ~std::uint64_t{0} << (base - last);
    if (mask != 0) on_block(last, mask);
  }
}

void dispatch_block(Scan& s, std::size_t base, std::uint64_t mask) {
  // Dispatch may move `resume` past positions still in the mask.
  while (mask != 0) {
    const std::size_t pos = base + static_cast<std::size_t>(std::countr_zero(mask));
    mask &= mask - 1;
    if (pos >= s.resume) dispatch(s, pos);
  }
}

void scan_avx2(Scan& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.text.data());
  const std::size_t n = s.size();
  if (n < kMinVector) return scan_scalar(s, 0);
  if (is_candidate(p, n, 0)) dispatch(s, 0);
  vector_blocks(p, n, [&s](std::size_t base, std::uint64_t mask) {
    dispatch_block(s, base, mask);
    return std::max(base + 64, s.resume);
  });
  scan_scalar(s, n - kLookahead);
}

bool has_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}

#endif

}  // namespace

// ---- Scan ----

std::size_t Scan::run_end(std::size_t from, std::uint16_t cls) noexcept {
  Memo* slot = nullptr;
  for (Memo& m : memo_) {
    if (m.cls == cls) slot = &m;
  }
  if (slot != nullptr && slot->from <= from && from < slot->end) return slot->end;
  // Scan up to the memoised run if it lies ahead: reaching it means joining it.
  const std::size_t ahead = slot != nullptr && slot->from > from ? slot->from : text.size();
  std::size_t i = from;
  while (i < ahead && in_class(static_cast<unsigned char>(text[i]), cls)) ++i;
  work += i - from + 1;
  if (i == ahead && slot != nullptr && i < text.size()) i = slot->end;
  if (slot == nullptr) {
    slot = &memo_[memo_next_];
    memo_next_ = (memo_next_ + 1) % memo_.size();
  }
  *slot = Memo{cls, from, i};
  return i;
}

void Scan::emit(RuleId rule, std::size_t begin, std::size_t end, Priority priority) {
  if (begin >= end || begin < delivered_end_ || end > text.size()) return;
  const TextMatch m{rule, begin, end};
  if (!has_pending_) {
    pending_ = m;
    pending_priority_ = priority;
    has_pending_ = true;
    return;
  }
  if (begin < pending_.end && pending_.begin < end) {
    if (priority > pending_priority_) {
      pending_ = m;
      pending_priority_ = priority;
    }
    return;
  }
  if (end <= pending_.begin) return deliver(m);
  deliver(pending_);
  pending_ = m;
  pending_priority_ = priority;
}

void Scan::flush() {
  if (has_pending_) deliver(pending_);
  has_pending_ = false;
  delivered_end_ = 0;
  resume = 0;
}

void run_prefilter(Scan& s) {
#ifdef KORVANTA_SCAN_AVX2
  if (has_avx2()) return scan_avx2(s);
#endif
  scan_scalar(s, 0);
}

std::vector<std::size_t> prefilter_positions(std::string_view text, bool vector_path) {
  std::vector<std::size_t> out;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
#ifdef KORVANTA_SCAN_AVX2
  if (vector_path && has_avx2() && n >= kMinVector) {
    if (is_candidate(p, n, 0)) out.push_back(0);
    vector_blocks(p, n, [&out](std::size_t base, std::uint64_t mask) {
      for (; mask != 0; mask &= mask - 1) out.push_back(base + static_cast<std::size_t>(std::countr_zero(mask)));
      return base + 64;
    });
    for (std::size_t i = n - kLookahead; i < n; ++i) {
      if (is_candidate(p, n, i)) out.push_back(i);
    }
    return out;
  }
#endif
  (void)vector_path;
  for (std::size_t i = 0; i < n; ++i) {
    if (is_candidate(p, n, i)) out.push_back(i);
  }
  return out;
}

}  // namespace scanner_detail

void scan_text(std::string_view text, MatchCallback on_match, TextKind kind, ScanStats* stats) {
  scanner_detail::Scan s(text, kind, on_match);
  scanner_detail::run_prefilter(s);
  s.flush();
  if (kind != TextKind::Content) {
    scanner_detail::scan_action_text(s);
    s.flush();
  }
  if (stats != nullptr) {
    stats->candidates += s.candidates;
    stats->bytes_examined += s.work;
  }
}

std::vector<TextMatch> find_matches(std::string_view text, TextKind kind) {
  std::vector<TextMatch> out;
  scan_text(text, [&](const TextMatch& m) { out.push_back(m); }, kind);
  return out;
}

}  // namespace korvanta
