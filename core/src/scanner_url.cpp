// URLs: passwords in their userinfo, Slack and Discord webhooks, and the
// classification of hosts shared with the action rules.
#include "scanner_url.hpp"

#include <array>

#include "scanner_checks.hpp"

namespace korvanta::scanner_detail {
namespace {

constexpr std::array<bool, 256> kEndsAuthority = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c <= 0x20; ++c) t[c] = true;
  t[0x7F] = true;
  for (char c : std::string_view("/?#\\<>\"'`(),;")) t[static_cast<unsigned char>(c)] = true;
  return t;
}();

bool ieq(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (ascii_lower(a[k]) != lower[k]) return false;
  }
  return true;
}

// Passwords that stand for one: empty, templated, starred, or the word itself.
bool placeholder_password(std::string_view p) {
  if (p.empty()) return true;
  const char first = p.front();
  if (first == '$' || first == '{' || first == '<' || first == '%' || first == '*' || first == '[') return true;
  if (p.find("${") != std::string_view::npos || p.find("{{") != std::string_view::npos) return true;
  if (p.find_first_not_of(first) == std::string_view::npos && (first == 'x' || first == 'X' || first == '.')) {
    return true;
  }
  for (std::string_view word : {"password", "passwd", "pass", "pwd", "secret", "changeme", "example"}) {
    if (ieq(p, word)) return true;
  }
  return false;
}

constexpr std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

HostKind classify_v4(std::uint32_t a) {
  if (a == ipv4(169, 254, 169, 254) || a == ipv4(169, 254, 170, 2) || a == ipv4(100, 100, 100, 200)) {
    return HostKind::Metadata;
  }
  const auto in = [a](std::uint32_t net, int bits) { return (a >> (32 - bits)) == (net >> (32 - bits)); };
  if (in(ipv4(127, 0, 0, 0), 8) || in(ipv4(10, 0, 0, 0), 8) || in(ipv4(172, 16, 0, 0), 12) ||
      in(ipv4(192, 168, 0, 0), 16) || in(ipv4(169, 254, 0, 0), 16) || in(0, 8) || in(ipv4(100, 64, 0, 0), 10)) {
    return HostKind::Private;
  }
  return HostKind::Other;
}

HostKind classify_v6(const std::array<std::uint8_t, 16>& b) {
  constexpr std::array<std::uint8_t, 16> kAwsMetadata = {0xfd, 0, 0x0e, 0xc2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x54};
  if (b == kAwsMetadata) return HostKind::Metadata;
  bool zero_prefix = true;
  for (int k = 0; k < 10; ++k) zero_prefix = zero_prefix && b[k] == 0;
  if (zero_prefix && b[10] == 0xff && b[11] == 0xff) {
    return classify_v4(ipv4(b[12], b[13], b[14], b[15]));  // IPv4-mapped
  }
  bool zero_to_14 = zero_prefix && b[10] == 0 && b[11] == 0 && b[12] == 0 && b[13] == 0 && b[14] == 0;
  if (zero_to_14 && b[15] <= 1) return HostKind::Private;   // :: and ::1
  if ((b[0] & 0xFE) == 0xFC) return HostKind::Private;      // unique local fc00::/7
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return HostKind::Private;  // link local fe80::/10
  return HostKind::Other;
}

}  // namespace

Authority parse_authority(Scan& s, std::size_t from) {
  Authority a;
  a.begin = from;
  std::size_t k = from;
  while (k < s.size() && k - from < 512) {
    const unsigned char c = s.at(k);
    if (kEndsAuthority[c]) break;
    if (c == '@') a.at = k;
    ++k;
  }
  s.work += k - from + 1;
  a.end = k;
  a.host_begin = a.at == std::string_view::npos ? from : a.at + 1;
  a.host_end = a.host_begin;
  if (s.at(a.host_begin) == '[') {
    const std::size_t close = s.find(a.host_begin, ']', a.end - a.host_begin);
    a.host_end = close == std::string_view::npos ? a.end : close + 1;
  } else {
    const std::size_t colon = s.find(a.host_begin, ':', a.end - a.host_begin);
    a.host_end = colon == std::string_view::npos ? a.end : colon;
  }
  return a;
}

HostKind classify_host(std::string_view host) {
  if (host.empty() || host.size() > 255) return HostKind::Other;
  std::array<char, 256> buf;
  for (std::size_t k = 0; k < host.size(); ++k) buf[k] = ascii_lower(host[k]);
  std::string_view h(buf.data(), host.size());
  if (h.size() > 1 && h.back() == '.') h.remove_suffix(1);
  if (h.front() == '[') {
    if (h.back() != ']') return HostKind::Other;
    const auto v6 = parse_ipv6(h.substr(1, h.size() - 2));
    return v6 ? classify_v6(*v6) : HostKind::Other;
  }
  for (std::string_view name :
       {"metadata.google.internal", "metadata.goog", "metadata", "instance-data", "instance-data.ec2.internal"}) {
    if (h == name) return HostKind::Metadata;
  }
  if (h == "localhost" || h == "ip6-localhost" || h == "ip6-loopback" || h.ends_with(".localhost") ||
      h.ends_with(".internal") || h.ends_with(".local") || h == "localhost.localdomain") {
    return HostKind::Private;
  }
  if (const auto v4 = parse_ipv4(h)) return classify_v4(*v4);
  return HostKind::Other;
}

void on_url(Scan& s, std::size_t i) {
  const std::size_t scheme = s.span_back(i, kAlnum | kPlus | kDash | kDot, 32);
  if (scheme == i || !s.is(scheme, kAlpha)) return;
  const Authority a = parse_authority(s, i + 3);
  if (a.at != std::string_view::npos) {
    const std::size_t colon = s.find(a.begin, ':', a.at - a.begin);
    // Brackets belong to IPv6 hosts only; in a userinfo they mean this is
    // no URL (or a masking marker stands there).
    const std::string_view userinfo = s.text.substr(a.begin, a.at - a.begin);
    if (colon != std::string_view::npos && a.host_end > a.host_begin &&
        userinfo.find_first_of("[]") == std::string_view::npos &&
        !placeholder_password(s.text.substr(colon + 1, a.at - colon - 1))) {
      s.emit(RuleId::UrlPassword, colon + 1, a.at);
    }
    s.resume = std::max(s.resume, a.end);  // the userinfo is no e-mail address
  }
  const std::string_view host = s.text.substr(a.host_begin, a.host_end - a.host_begin);
  std::size_t q = a.end;
  if (ieq(host, "hooks.slack.com") && s.lit(q, "/services/T")) {
    // /services/T<team>/B<bot>/<secret>
    const std::size_t team = s.span_fwd(q + 10, kWord, 64);
    if (s.at(team) != '/' || s.at(team + 1) != 'B') return;
    const std::size_t bot = s.span_fwd(team + 1, kWord, 64);
    if (s.at(bot) != '/') return;
    const std::size_t end = s.span_fwd(bot + 1, kWord, 64);
    if (end == bot + 1) return;
    s.emit(RuleId::SlackWebhookUrl, scheme, end);
    s.resume = std::max(s.resume, end);
  } else if ((ieq(host, "discord.com") || ieq(host, "discordapp.com") || ieq(host, "canary.discord.com") ||
              ieq(host, "ptb.discord.com")) &&
             s.lit(q, "/api/webhooks/")) {
    // /api/webhooks/<id>/<token>
    const std::size_t id = s.span_fwd(q + 14, kDigit, 25);
    if (id - (q + 14) < 5 || s.at(id) != '/') return;
    const std::size_t end = s.span_fwd(id + 1, kB64Url, 101);
    if (end - id - 1 < 20 || end - id - 1 > 100) return;
    s.emit(RuleId::DiscordWebhookUrl, scheme, end);
    s.resume = std::max(s.resume, end);
  }
}

}  // namespace korvanta::scanner_detail
