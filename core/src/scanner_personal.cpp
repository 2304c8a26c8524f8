// Personal-data rules: e-mail addresses, payment card numbers, IBANs,
// international phone numbers and US social security numbers.
#include <array>
#include <string_view>

#include "scanner_checks.hpp"
#include "scanner_scan.hpp"

namespace korvanta::scanner_detail {
namespace {

constexpr std::uint16_t kEmailLocal = kAlnum | kDot | kUnderscore | kPlus | kDash;
constexpr std::uint16_t kLabel = kAlnum | kDash;

// Domains reserved for documentation and tests (RFC 2606, RFC 6761), and
// "top-level domains" that are really file extensions (icon@2x.png).
bool ignored_domain(std::string_view domain, std::string_view tld) {
  std::array<char, 256> buf;
  const std::size_t n = std::min(domain.size(), buf.size());
  for (std::size_t k = 0; k < n; ++k) buf[k] = ascii_lower(domain[k]);
  const std::string_view d(buf.data(), n);
  for (std::string_view reserved : {"example.com", "example.org", "example.net"}) {
    if (d == reserved || (d.size() > reserved.size() && d.ends_with(reserved) && d[d.size() - reserved.size() - 1] == '.')) {
      return true;
    }
  }
  const std::string_view t = d.substr(d.size() - std::min(d.size(), tld.size()));
  for (std::string_view test : {"example", "test", "invalid", "localhost", "local", "png", "jpg", "jpeg", "gif", "svg",
                                "webp", "css", "js", "py", "txt", "html", "json", "md", "pdf", "zip", "gz"}) {
    if (t == test) return true;
  }
  return false;
}

// Digits of a card number, with its grouping: one run of 13-19 digits, or
// groups joined by one kind of separator (space or '-'), all of four digits
// but the last, or the 4-6-5 and 4-6-4 groupings of American Express and
// Diners Club.
void card(Scan& s, std::size_t i, std::size_t run_end) {
  const unsigned char prev = s.at(i - 1);
  if (in_class(prev, kAlpha | kUnderscore) || prev == '+' || prev == '/' || prev == '\\' || prev == '@' ||
      prev == '$' || ((prev == '.' || prev == ',' || prev == '-') && s.is(i - 2, kAlnum))) {
    return;
  }
  std::array<char, 19> digits;
  std::size_t n = 0;
  std::size_t end = run_end;
  const std::size_t first = run_end - i;
  if (first >= 13 && first <= 19) {
    for (std::size_t k = i; k < run_end; ++k) digits[n++] = static_cast<char>(s.at(k));
  } else if (first == 4) {
    const unsigned char sep = s.at(run_end);
    if (sep != ' ' && sep != '-') return;
    std::array<std::size_t, 6> groups{};
    std::size_t count = 0;
    std::size_t g = i;
    while (count < groups.size()) {
      const std::size_t ge = s.span_fwd(g, kDigit, 7);
      const std::size_t len = ge - g;
      if (len == 0 || len > 6 || n + len > 19) break;
      for (std::size_t k = g; k < ge; ++k) digits[n++] = static_cast<char>(s.at(k));
      groups[count++] = len;
      end = ge;
      if (s.at(ge) != sep || !s.is(ge + 1, kDigit)) break;
      g = ge + 1;
    }
    const bool amex_like = count == 3 && groups[1] == 6 && (groups[2] == 5 || groups[2] == 4);
    bool fours = count >= 3;
    for (std::size_t k = 0; k + 1 < count; ++k) fours = fours && groups[k] == 4;
    if (!amex_like && !(fours && groups[count - 1] <= 4)) return;
    if (s.is(end, kDigit)) return;
  } else {
    return;
  }
  const unsigned char next = s.at(end);
  if (in_class(next, kAlpha | kUnderscore) || ((next == '.' || next == ',' || next == '-') && s.is(end + 1, kDigit))) {
    return;
  }
  const std::string_view d(digits.data(), n);
  if (!plausible_card(d) || !luhn_valid(d)) return;
  s.emit(RuleId::PaymentCardNumber, i, end);
  s.resume = std::max(s.resume, end);
}

// DDD-DD-DDDD without the numbers never issued: area 000, 666 or 900-999,
// group 00, serial 0000, and the three known sample numbers.
bool ssn(Scan& s, std::size_t i) {
  if (!s.lit(i + 3, "-") || s.span_fwd(i + 4, kDigit, 3) != i + 6 || s.at(i + 6) != '-' ||
      s.span_fwd(i + 7, kDigit, 5) != i + 11) {
    return false;
  }
  if (s.is(i - 1, kAlnum) || s.at(i - 1) == '-' || s.is(i + 11, kAlnum) || s.at(i + 11) == '-') return false;
  const std::string_view t = s.text.substr(i, 11);
  const std::string_view area = t.substr(0, 3);
  if (area == "000" || area == "666" || area[0] == '9' || t.substr(4, 2) == "00" || t.substr(7, 4) == "0000") {
    return false;
  }
  if (t == "078-05-1120" || t == "219-09-9999" || t == "123-45-6789") return false;
  s.emit(RuleId::UsSocialSecurityNumber, i, i + 11);
  s.resume = std::max(s.resume, i + 11);
  return true;
}

// Two capitals, two check digits and the account: compact, or in groups of
// four separated by single spaces. Length by country, then mod 97.
bool iban(Scan& s, std::size_t b) {
  const std::size_t want = iban_length(static_cast<char>(s.at(b)), static_cast<char>(s.at(b + 1)));
  if (want == 0 || s.is(b - 1, kAlnum)) return false;
  std::array<char, 34> buf;
  std::size_t n = 0;
  std::size_t end = s.span_fwd(b, kUpper | kDigit, 35);
  if (end - b == want) {
    for (std::size_t k = b; k < end; ++k) buf[n++] = static_cast<char>(s.at(k));
  } else if (end - b == 4) {
    std::size_t g = b;
    while (true) {
      const std::size_t ge = s.span_fwd(g, kUpper | kDigit, 5);
      if (ge == g || ge - g > 4 || n + (ge - g) > want) return false;
      for (std::size_t k = g; k < ge; ++k) buf[n++] = static_cast<char>(s.at(k));
      end = ge;
      if (ge - g < 4 || n == want || s.at(ge) != ' ' || !s.is(ge + 1, kUpper | kDigit)) break;
      g = ge + 1;
    }
    if (n != want) return false;
  } else {
    return false;
  }
  if (s.is(end, kAlnum) || !iban_checksum_ok(std::string_view(buf.data(), n))) return false;
  s.emit(RuleId::Iban, b, end);
  s.resume = std::max(s.resume, end);
  return true;
}

}  // namespace

void on_at(Scan& s, std::size_t i) {
  const std::size_t lb = s.span_back(i, kEmailLocal, 64);
  if (lb == i || i - lb == 64 || s.at(lb) == '.' || s.at(i - 1) == '.' || s.at(lb - 1) == '/') return;
  // Labels of the domain, at most 253 bytes.
  std::size_t q = i + 1;
  std::size_t labels = 0;
  std::size_t last = q;
  while (q - i <= 253) {
    const std::size_t le = s.span_fwd(q, kLabel, 64);
    if (le == q || le - q > 63 || s.at(q) == '-' || s.at(le - 1) == '-') return;
    ++labels;
    last = q;
    q = le;
    if (s.at(q) != '.' || !s.is(q + 1, kAlnum)) break;
    ++q;
  }
  if (labels < 2 || q - i > 254) return;
  const std::string_view tld = s.text.substr(last, q - last);
  if (tld.size() < 2 || tld.size() > 24) return;
  for (char c : tld) {
    if (!in_class(static_cast<unsigned char>(c), kAlpha)) return;
  }
  if (ignored_domain(s.text.substr(i + 1, q - i - 1), tld)) return;
  s.emit(RuleId::EmailAddress, lb, q);
  s.resume = std::max(s.resume, q);
}

// +CC and the number, 10 to 15 digits in all (E.164), grouped by single
// spaces, dashes or dots (the last group at least two digits), one group
// possibly in parentheses; written without groups, at least 11 digits, so
// that integer literals such as +4294967296 stay out. +1 numbers follow the
// North American plan: ten digits, area code and exchange not starting with
// 0 or 1. The number is the longest run of groups that reads so; the
// groups after it may be another number ("+44 20 7946 0958 536-22-1234").
// Only where a number can start: not after a letter, digit or operand.
void on_plus(Scan& s, std::size_t i) {
  if (i > 0 && std::string_view(" \t\r\n(\"':,;>=[").find(static_cast<char>(s.at(i - 1))) == std::string_view::npos) {
    return;
  }
  const std::size_t cc_end = s.span_fwd(i + 1, kDigit, 3);
  if (cc_end == i + 1) return;
  std::array<char, 3> lead{'0', '0', '0'};
  for (std::size_t k = i + 1; k < cc_end; ++k) lead[k - i - 1] = static_cast<char>(s.at(k));
  if (calling_code_length(std::string_view(lead.data(), 3)) == 0) return;
  // The groups, each with the digit count and end so far; the number ends
  // after the longest run of groups that reads as a whole number.
  struct Group {
    std::size_t digits;
    std::size_t end;
    std::size_t size;
  };
  std::array<Group, 8> groups;
  std::array<char, 15> number;
  std::size_t count = 0, digits = 0;
  std::size_t q = i + 1;
  bool paren = false;
  while (count < groups.size()) {
    const bool open = s.at(q) == '(';
    if (open && paren) break;
    const std::size_t g = q + (open ? 1 : 0);
    const std::size_t ge = s.span_fwd(g, kDigit, 16);
    if (ge == g || digits + (ge - g) > 15) break;
    for (std::size_t k = g; k < ge; ++k) number[digits++] = static_cast<char>(s.at(k));
    q = ge;
    if (open) {
      if (s.at(q) != ')') break;
      paren = true;
      ++q;
    }
    groups[count++] = {digits, q, ge - g};
    const unsigned char sep = s.at(q);
    if ((sep == ' ' || sep == '-' || sep == '.') && (s.is(q + 1, kDigit) || (s.at(q + 1) == '(' && !paren))) {
      ++q;
    } else if (!(sep == '(' && !paren)) {
      break;
    }
  }
  for (std::size_t k = count; k-- > 0;) {
    const Group& g = groups[k];
    const std::size_t end = g.end;
    if (g.digits < (k > 0 ? 10u : 11u) || (k > 0 && g.size < 2) || s.is(end, kAlnum | kUnderscore) ||
        ((s.at(end) == '.' || s.at(end) == '-') && s.is(end + 1, kDigit))) {
      continue;
    }
    if (number[0] == '1' && (g.digits != 11 || number[1] < '2' || number[4] < '2')) continue;
    s.emit(RuleId::PhoneNumber, i, end);
    s.resume = std::max(s.resume, end);
    return;
  }
}

void on_digit_run(Scan& s, std::size_t i) {
  // The whole run is looked at once; hits inside it come to nothing new.
  // The prefilter hits a run only where it starts, so each is measured once.
  const std::size_t run_end = s.span_fwd(i, kDigit, s.size());
  s.resume = std::max(s.resume, run_end);
  const std::size_t digits = run_end - i;
  if (digits >= 2 && s.is(i - 1, kUpper) && s.is(i - 2, kUpper) && iban(s, i - 2)) return;
  if (digits < 3) return;  // too short for a social security or card number
  if (digits == 3 && s.at(run_end) == '-' && ssn(s, i)) return;
  card(s, i, run_end);
}

}  // namespace korvanta::scanner_detail
