// Checksums, issuer ranges, randomness, base64url and address parsing for
// the scanner's validators.
#include "scanner_checks.hpp"

#include <algorithm>
#include <cmath>

#include "scanner_scan.hpp"

namespace korvanta::scanner_detail {
namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads the first `n` digits as a number (n <= 6).
constexpr unsigned prefix(std::string_view d, std::size_t n) {
  unsigned v = 0;
  for (std::size_t k = 0; k < n && k < d.size(); ++k) v = v * 10 + static_cast<unsigned>(d[k] - '0');
  return v;
}

bool contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }

// Country code and IBAN length, from the SWIFT IBAN registry.
constexpr std::string_view kIbanLengths =
    "AD24AE23AL28AT20AZ28BA20BE16BG22BH22BR29BY28CH21CR22CY28CZ24DE22DJ27DK18DO28EE20EG29ES24FI18FK18FO18"
    "FR27GB22GE22GI23GL18GR27GT28HR21HU28IE22IL23IQ23IS26IT27JO30KW30KZ20LB28LC32LI21LT20LU20LV21LY25MC27"
    "MD24ME22MK19MN20MR27MT31MU30NI28NL18NO15OM23PK24PL28PS29PT25QA29RO24RS22RU33SA24SC31SD18SE24SI19SK24"
    "SM27SO23ST25SV28TL23TN24TR26UA29VA22VG24XK20YE30";

bool is_uuid(std::string_view v) {
  if (v.size() != 36) return false;
  for (std::size_t k = 0; k < v.size(); ++k) {
    const bool dash_slot = k == 8 || k == 13 || k == 18 || k == 23;
    if (dash_slot != (v[k] == '-')) return false;
    if (!dash_slot && !in_class(static_cast<unsigned char>(v[k]), kHex)) return false;
  }
  return true;
}

// The 150 most frequent letter pairs of English text. Words are mostly made
// of them; random letters hit them about one time in five.
constexpr std::string_view kCommonPairs =
    "th he in er an re on at en nd ti es or te of ed is it al ar st to nt ng se ha as ou io le ve co me de hi ri ro "
    "ic ne ea ra ce li ch ll be ma si om ur ca el ta la ns di fo ho pe ec pr no ct us ac ot il tr ly nc et ut ss so "
    "rs un lo wa ge ie wh ee wi em ad ol rt po we na ul ni ts mo ow pa im mi ai sh ir su id os iv ia am fi ci vi pl "
    "ig tu ev ld ry mp fe bl ab gh ty op wo sa ay ex ke fr oo av ag if ap gr od bo sp rd do uc bu ei ov by rm ep";

constexpr std::array<bool, 26 * 26> kCommonPair = [] {
  std::array<bool, 26 * 26> t{};
  for (std::size_t k = 0; k + 1 < kCommonPairs.size(); k += 3) {
    t[static_cast<std::size_t>(kCommonPairs[k] - 'a') * 26 + static_cast<std::size_t>(kCommonPairs[k + 1] - 'a')] = true;
  }
  return t;
}();

// Bytes of `v` in pieces that read like words: runs of five or more
// letters (camelCase split into pieces, case ignored) with at least two
// thirds of their letter pairs among the common ones.
std::size_t wordy_bytes(std::string_view v) {
  std::size_t total = 0;
  std::size_t k = 0;
  while (k < v.size()) {
    const std::size_t start = k;
    if (v[k] >= 'A' && v[k] <= 'Z') ++k;
    while (k < v.size() && v[k] >= 'a' && v[k] <= 'z') ++k;
    if (k == start) {
      ++k;
      continue;
    }
    const std::size_t len = k - start;
    if (len < 5) continue;
    std::size_t common = 0;
    for (std::size_t q = start; q + 1 < k; ++q) {
      const auto a = static_cast<std::size_t>(ascii_lower(v[q]) - 'a');
      const auto b = static_cast<std::size_t>(v[q + 1] - 'a');
      common += kCommonPair[a * 26 + b] ? 1 : 0;
    }
    if (common * 3 >= (len - 1) * 2) total += len;
  }
  return total;
}

// Escaped text rather than a value: an HTML entity (&lt; &#229;) or a
// \uXXXX or \xXX escape.
bool holds_escape(std::string_view v) {
  for (std::size_t k = 0; k + 3 < v.size(); ++k) {
    if (v[k] == '&') {
      std::size_t q = k + 1;
      while (q < v.size() && q - k <= 8 && (in_class(static_cast<unsigned char>(v[q]), kAlnum) || v[q] == '#')) ++q;
      if (q - k >= 3 && q < v.size() && v[q] == ';') return true;
    } else if (v[k] == '\\' && (v[k + 1] == 'u' || v[k + 1] == 'x')) {
      const std::size_t digits = v[k + 1] == 'u' ? 4 : 2;
      std::size_t q = k + 2;
      while (q < v.size() && q - k - 2 < digits && in_class(static_cast<unsigned char>(v[q]), kHex)) ++q;
      if (q - k - 2 == digits) return true;
    }
  }
  return false;
}

// A path of words: '/' between pieces that are all words, lower-case or
// capitalised ("America/New_York", "usr/local/lib"). Random base64 has
// digits or inner capitals in its pieces.
bool path_of_words(std::string_view v) {
  if (v.find('/') == std::string_view::npos) return false;
  std::size_t k = 0;
  while (k < v.size()) {
    const std::size_t start = k;
    if (v[k] >= 'A' && v[k] <= 'Z') ++k;
    while (k < v.size() && v[k] >= 'a' && v[k] <= 'z') ++k;
    if (k == start || (k < v.size() && std::string_view("/_.-").find(v[k]) == std::string_view::npos)) return false;
    ++k;
  }
  return true;
}

// Words that placeholder and sample secrets are made of; a random value of
// the lengths looked at holds none of them by chance.
bool holds_sample_word(std::string_view v) {
  std::array<char, 256> buf;
  for (std::size_t k = 0; k < v.size(); ++k) buf[k] = ascii_lower(v[k]);
  const std::string_view lower(buf.data(), v.size());
  for (std::string_view w : {"pass", "secret", "token", "example", "sample", "change", "default", "admin", "test",
                             "dummy", "fake", "placeholder", "value", "here", "your", "insert", "replace", "demo",
                             "qwerty", "letmein", "welcome", "hello", "abcdef", "123456", "foobar"}) {
    if (lower.find(w) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace

bool luhn_valid(std::string_view digits) noexcept {
  unsigned sum = 0;
  bool twice = false;
  for (std::size_t k = digits.size(); k-- > 0;) {
    unsigned d = static_cast<unsigned>(digits[k] - '0');
    if (twice) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
    sum += d;
    twice = !twice;
  }
  return !digits.empty() && sum % 10 == 0;
}

bool plausible_card(std::string_view d) noexcept {
  const std::size_t n = d.size();
  if (n < 13 || n > 19) return false;
  if (d.find_first_not_of(d[0]) == std::string_view::npos) return false;
  const unsigned p2 = prefix(d, 2), p3 = prefix(d, 3), p4 = prefix(d, 4);
  if (d[0] == '4') return n == 13 || n == 16 || n == 19;                         // Visa
  if ((p2 >= 51 && p2 <= 55) || (p4 >= 2221 && p4 <= 2720)) return n == 16;    // Mastercard
  if (p2 == 34 || p2 == 37) return n == 15;                                     // American Express
  if (p4 == 6011 || (p3 >= 644 && p3 <= 649) || p2 == 65) return n >= 16;       // Discover
  if (p4 >= 3528 && p4 <= 3589) return n >= 16;                                 // JCB
  if ((p3 >= 300 && p3 <= 305) || p2 == 36 || p2 == 38 || p2 == 39) return n >= 14;  // Diners Club
  if (p2 == 62) return n >= 16;                                                 // UnionPay
  return false;
}

std::size_t iban_length(char a, char b) noexcept {
  for (std::size_t k = 0; k + 4 <= kIbanLengths.size(); k += 4) {
    if (kIbanLengths[k] == a && kIbanLengths[k + 1] == b) {
      return static_cast<std::size_t>((kIbanLengths[k + 2] - '0') * 10 + (kIbanLengths[k + 3] - '0'));
    }
  }
  return 0;
}

bool iban_checksum_ok(std::string_view iban) noexcept {
  if (iban.size() < 5 || iban.size() > 34) return false;
  unsigned rem = 0;
  // The country code and check digits move to the end.
  for (std::size_t k = 0; k < iban.size(); ++k) {
    const char c = iban[(k + 4) % iban.size()];
    if (is_digit(c)) {
      rem = (rem * 10 + static_cast<unsigned>(c - '0')) % 97;
    } else if (c >= 'A' && c <= 'Z') {
      rem = (rem * 100 + static_cast<unsigned>(c - 'A' + 10)) % 97;
    } else {
      return false;
    }
  }
  return rem == 1;
}

double shannon_entropy(std::string_view value) noexcept {
  if (value.empty()) return 0.0;
  // Counts by byte, and the distinct bytes seen, so that the sum runs over
  // those only.
  std::array<std::uint32_t, 256> counts{};
  std::array<unsigned char, 256> seen;
  std::size_t distinct = 0;
  for (unsigned char c : value) {
    if (counts[c]++ == 0) seen[distinct++] = c;
  }
  double h = 0.0;
  const double n = static_cast<double>(value.size());
  for (std::size_t k = 0; k < distinct; ++k) {
    const double p = counts[seen[k]] / n;
    h -= p * std::log2(p);
  }
  return h;
}

int alnum_classes(std::string_view s) noexcept {
  bool lower = false, upper = false, digit = false;
  for (unsigned char c : s) {
    lower |= in_class(c, kLower);
    upper |= in_class(c, kUpper);
    digit |= in_class(c, kDigit);
  }
  return int{lower} + int{upper} + int{digit};
}

bool varied(std::string_view body, std::size_t min_distinct) noexcept {
  std::array<bool, 256> seen{};
  std::size_t distinct = 0;
  for (unsigned char c : body) {
    if (!seen[c]) {
      seen[c] = true;
      if (++distinct >= min_distinct) return true;
    }
  }
  return false;
}

bool looks_random(std::string_view v) noexcept {
  if (v.size() < 10 || v.size() > 256) return false;
  switch (v.front()) {
    case '$':
    case '%':
    case '<':
    case '{':
    case '[':
    case '(':
    case '@':
      return false;  // a reference, a template or a placeholder
    default:
      break;
  }
  bool lower = false, upper = false, digit = false, other = false;
  for (unsigned char c : v) {
    if (c <= 0x20 || c == 0x7F) return false;
    if (in_class(c, kLower)) {
      lower = true;
    } else if (in_class(c, kUpper)) {
      upper = true;
    } else if (in_class(c, kDigit)) {
      digit = true;
    } else if (c != '_' && c != '-' && c != '.') {
      other = true;
    }
  }
  const int classes = int{lower} + int{upper} + int{digit} + int{other};
  const std::size_t n = v.size();
  if (classes == 1 && !lower) return false;
  // Lower-case words joined by '-', '_' or '.': a phrase or a name.
  if (classes == 1 && v.find_first_of("-_.") != std::string_view::npos) return false;
  if (holds_sample_word(v) || wordy_bytes(v) * 2 >= n || is_uuid(v) || path_of_words(v)) return false;
  if (other) {
    for (std::string_view marker : {"${", "{{", "...", "***", "<", ">", "[REDACTED:"}) {
      if (contains(v, marker)) return false;
    }
    if (contains(v, "%(") && contains(v, ")s")) return false;  // %(name)s
    if (holds_escape(v)) return false;
  }
  if (contains(v, "xxxx") || contains(v, "XXXX")) return false;
  const double h = shannon_entropy(v);
  // Short values cannot reach high entropy: the bar follows log2 of the
  // length up to 3 bits.
  const double bar = std::min(3.0, std::log2(static_cast<double>(n)) - 0.5);
  if (classes >= 3) return h >= bar;
  if (classes == 2) return n >= 10 && h >= bar;
  if (classes == 1 && lower) return n >= 20 && h >= 3.7;
  return false;
}

std::optional<std::size_t> b64url_decode(std::string_view in, char* out, std::size_t cap) noexcept {
  while (!in.empty() && in.back() == '=') in.remove_suffix(1);
  if (in.size() % 4 == 1) return std::nullopt;
  const std::size_t need = in.size() / 4 * 3 + (in.size() % 4 == 0 ? 0 : in.size() % 4 - 1);
  if (need > cap) return std::nullopt;
  std::uint32_t acc = 0;
  int bits = 0;
  std::size_t k = 0;
  for (unsigned char c : in) {
    std::uint32_t v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '-' || c == '+') v = 62;
    else if (c == '_' || c == '/') v = 63;
    else return std::nullopt;
    acc = (acc << 6) | v;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[k++] = static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return k;
}

std::optional<std::uint32_t> parse_ipv4(std::string_view text) noexcept {
  if (text.empty() || text.size() > 64) return std::nullopt;
  std::array<std::uint64_t, 4> parts{};
  std::size_t count = 0;
  std::size_t k = 0;
  while (true) {
    if (count == 4 || k >= text.size()) return std::nullopt;
    unsigned base = 10;
    if (text[k] == '0' && k + 1 < text.size() && (text[k + 1] == 'x' || text[k + 1] == 'X')) {
      base = 16;
      k += 2;
    } else if (text[k] == '0' && k + 1 < text.size() && is_digit(text[k + 1])) {
      base = 8;
    }
    const std::size_t start = k;
    std::uint64_t v = 0;
    for (; k < text.size() && text[k] != '.'; ++k) {
      const char c = text[k];
      unsigned d;
      if (is_digit(c)) d = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
      else return std::nullopt;
      if (d >= base) return std::nullopt;
      v = v * base + d;
      if (v > 0xFFFFFFFFu) return std::nullopt;
    }
    if (k == start) return std::nullopt;
    parts[count++] = v;
    if (k == text.size()) break;
    ++k;  // the '.'
  }
  std::uint64_t addr = 0;
  for (std::size_t p = 0; p + 1 < count; ++p) {
    if (parts[p] > 255) return std::nullopt;
    addr |= parts[p] << (24 - 8 * p);
  }
  const std::uint64_t last_max = 0xFFFFFFFFu >> (8 * (count - 1));
  if (parts[count - 1] > last_max) return std::nullopt;
  return static_cast<std::uint32_t>(addr | parts[count - 1]);
}

std::optional<std::array<std::uint8_t, 16>> parse_ipv6(std::string_view text) noexcept {
  if (const std::size_t zone = text.find('%'); zone != std::string_view::npos) text = text.substr(0, zone);
  if (text.size() < 2 || text.size() > 45) return std::nullopt;
  std::array<std::uint16_t, 8> head{}, tail{};
  std::size_t nhead = 0, ntail = 0;
  bool compressed = false;
  std::size_t k = 0;
  if (text.starts_with("::")) {
    compressed = true;
    k = 2;
  }
  while (k < text.size()) {
    // A trailing dotted IPv4 part fills the last two groups.
    const std::size_t next_colon = text.find(':', k);
    const std::string_view group = text.substr(k, next_colon == std::string_view::npos ? text.npos : next_colon - k);
    if (group.find('.') != std::string_view::npos) {
      if (next_colon != std::string_view::npos) return std::nullopt;
      unsigned a[4];
      std::size_t q = 0;
      for (int part = 0; part < 4; ++part) {
        const std::size_t s = q;
        a[part] = 0;
        while (q < group.size() && is_digit(group[q]) && q - s < 3) a[part] = a[part] * 10 + static_cast<unsigned>(group[q++] - '0');
        if (q == s || a[part] > 255) return std::nullopt;
        if (part < 3) {
          if (q >= group.size() || group[q] != '.') return std::nullopt;
          ++q;
        }
      }
      if (q != group.size()) return std::nullopt;
      auto& dst = compressed ? tail : head;
      auto& n = compressed ? ntail : nhead;
      if (n + 2 > 8) return std::nullopt;
      dst[n++] = static_cast<std::uint16_t>(a[0] << 8 | a[1]);
      dst[n++] = static_cast<std::uint16_t>(a[2] << 8 | a[3]);
      k = text.size();
      break;
    }
    if (group.empty() || group.size() > 4) return std::nullopt;
    std::uint16_t v = 0;
    for (char c : group) {
      unsigned d;
      if (is_digit(c)) d = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
      else return std::nullopt;
      v = static_cast<std::uint16_t>(v << 4 | d);
    }
    auto& dst = compressed ? tail : head;
    auto& n = compressed ? ntail : nhead;
    if (n == 8) return std::nullopt;
    dst[n++] = v;
    if (next_colon == std::string_view::npos) {
      k = text.size();
      break;
    }
    k = next_colon + 1;
    if (k < text.size() && text[k] == ':') {
      if (compressed) return std::nullopt;
      compressed = true;
      ++k;
    } else if (k == text.size()) {
      return std::nullopt;  // a trailing single ':'
    }
  }
  if (compressed ? nhead + ntail > 7 : nhead != 8) return std::nullopt;
  std::array<std::uint8_t, 16> out{};
  for (std::size_t g = 0; g < nhead; ++g) {
    out[2 * g] = static_cast<std::uint8_t>(head[g] >> 8);
    out[2 * g + 1] = static_cast<std::uint8_t>(head[g]);
  }
  for (std::size_t g = 0; g < ntail; ++g) {
    const std::size_t at = 8 - ntail + g;
    out[2 * at] = static_cast<std::uint8_t>(tail[g] >> 8);
    out[2 * at + 1] = static_cast<std::uint8_t>(tail[g]);
  }
  return out;
}

std::size_t calling_code_length(std::string_view d) noexcept {
  if (d.size() < 3) return 0;
  if (d[0] == '1' || d[0] == '7') return 1;
  if (d[0] == '0') return 0;
  const unsigned p2 = prefix(d, 2);
  // Two-digit codes in use; the remaining ranges hold three-digit codes.
  for (unsigned two : {20u, 27u, 30u, 31u, 32u, 33u, 34u, 36u, 39u, 40u, 41u, 43u, 44u, 45u, 46u, 47u, 48u, 49u,
                       51u, 52u, 53u, 54u, 55u, 56u, 57u, 58u, 60u, 61u, 62u, 63u, 64u, 65u, 66u, 81u, 82u, 84u,
                       86u, 90u, 91u, 92u, 93u, 94u, 95u, 98u}) {
    if (p2 == two) return 2;
  }
  for (unsigned three : {21u, 22u, 23u, 24u, 25u, 26u, 29u, 35u, 37u, 38u, 42u, 50u, 59u, 67u, 68u, 69u, 85u, 87u,
                         88u, 96u, 97u, 99u}) {
    if (p2 == three) return 3;
  }
  return 0;
}

}  // namespace korvanta::scanner_detail
