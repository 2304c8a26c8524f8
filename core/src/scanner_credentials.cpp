// Credential rules: provider tokens found by their fixed prefixes, private
// key blocks, JSON Web Tokens, and high-entropy values assigned to
// secret-sounding names. Each entry point is a prefilter trigger.
#include <array>
#include <string_view>

#include "scanner_checks.hpp"
#include "scanner_scan.hpp"

namespace korvanta::scanner_detail {
namespace {

constexpr std::size_t kMaxToken = 255;
constexpr std::uint16_t kAlnumUpperDigit = kUpper | kDigit;

bool starts_word(Scan& s, std::size_t b) { return !s.is(b - 1, kAlnum); }

// Emits a token whose body is the run of `cls` at `body`, when the body is
// between `min` and `max` bytes and varied; the match starts at `begin`.
bool token(Scan& s, RuleId rule, std::size_t begin, std::size_t body, std::uint16_t cls, std::size_t min,
           std::size_t max = kMaxToken, std::size_t min_distinct = 6) {
  const std::size_t end = s.run_end(body, cls);
  const std::size_t len = end - body;
  if (len < min || len > max || !varied(s.text.substr(body, len), min_distinct)) return false;
  s.emit(rule, begin, end);
  s.resume = std::max(s.resume, end);
  return true;
}

// ---- AWS ----

// A secret access key: a run of exactly 40 base64 bytes, varied, with
// capitals and at least one other kind of character, starting between
// `from` and `to`; npos for none.
std::size_t aws_secret_in(Scan& s, std::size_t from, std::size_t to) {
  std::size_t k = from;
  while (k < to) {
    if (!s.is(k, kB64)) {
      ++k;
      continue;
    }
    const std::size_t end = s.span_fwd(k, kB64, 41);
    if (end - k == 40 && !s.is(k - 1, kB64) && s.at(end) != '=' && alnum_classes(s.text.substr(k, 40)) >= 2 &&
        s.is(k, kAlnum) && varied(s.text.substr(k, 40), 12)) {
      std::size_t upper = 0;
      for (std::size_t q = k; q < end; ++q) upper += s.is(q, kUpper) ? 1 : 0;
      if (upper > 0 && upper < 40) return k;
    }
    k = s.span_fwd(k, kB64, to - k + 41);  // skip the whole run
  }
  return std::string_view::npos;
}

// AKIA, ASIA, ABIA, ACCA or A3T? followed by 16 of [A-Z0-9]; with a secret
// within 256 bytes it is the pair, and the secret is masked too. The search
// after a key continues the previous key's where they overlap; the search
// before it stops at the previous key.
void aws_key(Scan& s, std::size_t b) {
  const std::size_t body = b + 4;
  const std::size_t end = s.span_fwd(body, kAlnumUpperDigit, 17);
  if (end - body != 16 || s.is(end, kAlnum) || !varied(s.text.substr(body, 16), 5)) return;
  constexpr std::size_t kNear = 256;
  constexpr std::size_t npos = std::string_view::npos;
  const std::size_t to = std::min(s.size(), end + kNear);
  auto& memo = s.aws;
  std::size_t after;
  if (memo.to > 0 && memo.from <= end && end <= memo.to) {
    after = memo.found != npos ? memo.found : aws_secret_in(s, memo.to, to);
  } else {
    memo.from = end;
    after = aws_secret_in(s, end, to);
  }
  // Searched up to the secret found, or to the end of the window.
  memo.found = after;
  memo.to = after != npos ? after : to;
  const std::size_t before = after != npos ? npos : aws_secret_in(s, std::max(b > kNear ? b - kNear : 0, memo.key_end), b);
  memo.key_end = end;
  if (after != npos) {
    s.emit(RuleId::AwsAccessKeyPair, b, end);
    s.emit(RuleId::AwsSecretAccessKey, after, after + 40);
  } else if (before != npos) {
    s.emit(RuleId::AwsSecretAccessKey, before, before + 40);
    s.emit(RuleId::AwsAccessKeyPair, b, end);
  } else {
    s.emit(RuleId::AwsAccessKeyId, b, end);
  }
  s.resume = std::max(s.resume, end);
}

// ---- private keys ----

// "-----BEGIN <label>-----" (or the SSH2 form "---- BEGIN <label> ----")
// with a label naming a private key, through "-----END ...-----". Without an
// END line (a cut-off text) the block runs through the base64 body. The
// search for the END line stops at the next dash run, so it never passes the
// start of another block and every byte is searched once.
void private_key_block(Scan& s, std::size_t i) {
  const bool ssh2 = s.lit(i, "---- BEGIN ");
  const std::size_t label = i + 11;
  const std::size_t close = s.find(label, '-', 80);
  if (close == std::string_view::npos) return;
  std::string_view name = s.text.substr(label, close - label);
  if (ssh2 && name.ends_with(' ')) name.remove_suffix(1);
  // Labels are upper-case words: "RSA PRIVATE KEY", "PGP PRIVATE KEY BLOCK".
  if (name.find("PRIVATE KEY") == std::string_view::npos ||
      name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ") != std::string_view::npos) {
    return;
  }
  if (!s.lit(close, ssh2 ? "----" : "-----")) return;
  const std::size_t body = close + (ssh2 ? 4 : 5);
  constexpr std::size_t kMaxBlock = 64 * 1024;
  std::size_t q = body;
  std::size_t dashes = std::string_view::npos;
  while (q < s.size() && q - body < kMaxBlock) {
    q = s.find(q, '-', kMaxBlock - (q - body));
    if (q == std::string_view::npos) break;
    if (s.lit(q, "----")) {
      dashes = q;
      break;
    }
    ++q;
  }
  std::size_t end;
  if (dashes != std::string_view::npos && (s.lit(dashes, "-----END ") || s.lit(dashes, "---- END "))) {
    const std::size_t tail = s.find(dashes + 9, '-', 80);
    if (tail == std::string_view::npos) return;
    end = s.span_fwd(tail, kDash, 5);
  } else {
    const std::size_t stop = dashes == std::string_view::npos ? std::min(s.size(), body + kMaxBlock) : dashes;
    end = s.span_fwd(body, kB64 | kEquals | kSpace, stop - body);
    while (end > body && s.is(end - 1, kSpace)) --end;
  }
  s.emit(RuleId::PrivateKey, i, end);
  s.resume = std::max(s.resume, end);
}

// "PuTTY-User-Key-File-N: ..." through its "Private-MAC:" line, or just the
// first line when that is missing. The search stops at the next key file.
void putty_key(Scan& s, std::size_t b) {
  constexpr std::size_t kMaxBlock = 16 * 1024;
  std::size_t q = b + 5;
  std::size_t end = s.find(b, '\n', 256);
  if (end == std::string_view::npos) end = std::min(s.size(), b + 256);
  while (q < s.size() && q - b < kMaxBlock) {
    q = s.find(q, 'P', kMaxBlock - (q - b));
    if (q == std::string_view::npos || s.lit(q, "PuTTY-User-Key-File-")) break;
    if (s.lit(q, "Private-MAC:")) {
      const std::size_t nl = s.find(q, '\n', 256);
      end = nl == std::string_view::npos ? std::min(s.size(), q + 256) : nl;
      break;
    }
    ++q;
  }
  s.emit(RuleId::PrivateKey, b, end);
  s.resume = std::max(s.resume, end);
}

// ---- keyword assignments ----

// Names of secrets: any name holding one of these words, or holding "key"
// in one of the forms after them.
constexpr std::array<std::string_view, 8> kSecretWords = {
    "pass", "pwd", "secret", "token", "credential", "contraseña", "contrasena", "authorization",
};
constexpr std::array<std::string_view, 17> kSecretKeys = {
    "apikey",     "api_key",     "api-key",     "access_key", "accesskey", "private_key", "privatekey",
    "priv_key",   "client_key",  "service_key", "account_key", "accountkey", "auth_key",  "authkey",
    "db_key",     "database_key", "key_pass",
};

// Whether one of `words` starts at `k` of `s`, comparing first bytes first:
// a name is looked at byte by byte, once.
template <std::size_t N>
bool word_at(std::string_view s, std::size_t k, const std::array<std::string_view, N>& words) {
  for (std::string_view w : words) {
    if (s[k] == w[0] && s.substr(k, w.size()) == w) return true;
  }
  return false;
}

// Names that hold something about a secret rather than the secret.
constexpr std::array<std::string_view, 20> kNotSecretSuffixes = {
    "url",   "uri",    "path",     "file", "filename", "dir",    "name",   "type",     "len",    "length",
    "size",  "count",  "id",       "ids",  "prefix",   "suffix", "field",  "header",   "env",    "template",
};

// Whether a name may hold one of the words above: each of them holds one of
// these trigrams (any case). Most names of code and JSON hold none, and
// are refused before they are read word by word.
bool may_name_secret(std::string_view name) {
  constexpr auto packed = [](const char (&t)[4]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(t[0])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(t[1])) << 8 | static_cast<unsigned char>(t[2]);
  };
  // pass, pwd, secret, token, credential, contraseña / contrasena, authorization, and "key".
  constexpr std::array<std::uint32_t, 8> kTrigrams = {packed("pas"), packed("pwd"), packed("sec"), packed("tok"),
                                                      packed("cre"), packed("ntr"), packed("aut"), packed("key")};
  // Each trigram has a slot of its own under this multiplier (checked below),
  // so a window is compared with one trigram, not eight.
  constexpr std::uint32_t kMultiplier = 0x9755D4C1;
  constexpr auto slot = [](std::uint32_t window) { return (window * kMultiplier) >> 29; };
  constexpr std::array<std::uint32_t, 8> kBySlot = [&] {
    std::array<std::uint32_t, 8> t{};
    for (const std::uint32_t trigram : kTrigrams) t[slot(trigram)] = trigram;
    return t;
  }();
  static_assert([&] {
    for (const std::uint32_t trigram : kTrigrams) {
      if (kBySlot[slot(trigram)] != trigram) return false;
    }
    return true;
  }());
  std::uint32_t window = 0;
  for (char c : name) {
    window = (window << 8 | static_cast<unsigned char>(ascii_lower(c))) & 0xFFFFFF;
    if (kBySlot[slot(window)] == window) return true;
  }
  return false;
}

bool secret_name(std::string_view name) {
  std::array<char, 64> buf;
  const std::size_t n = std::min(name.size(), buf.size());
  for (std::size_t k = 0; k < n; ++k) buf[k] = ascii_lower(name[name.size() - n + k]);
  const std::string_view lower(buf.data(), n);
  bool hit = false, key = false;
  for (std::size_t k = 0; k < n && !hit; ++k) {
    switch (lower[k]) {
      case 'a':
      case 'c':
      case 'p':
      case 's':
      case 't':
        hit = word_at(lower, k, kSecretWords);
        break;
      case 'k':
        key = key || lower.substr(k, 3) == "key";
        break;
      default:
        break;
    }
  }
  for (std::size_t k = 0; k < n && !hit && key; ++k) hit = word_at(lower, k, kSecretKeys);
  if (!hit) return false;
  for (std::string_view suffix : kNotSecretSuffixes) {
    if (lower.size() > suffix.size() && lower.ends_with(suffix)) {
      const char sep = lower[lower.size() - suffix.size() - 1];
      if (sep == '_' || sep == '-' || sep == '.') return false;
    }
  }
  return true;
}

// Bytes that may make up an unquoted value.
constexpr std::array<bool, 256> kUnquotedValue = [] {
  std::array<bool, 256> t{};
  for (int c = 0x21; c < 0x7F; ++c) t[c] = true;
  for (char c : std::string_view("'\"`,;&(){}[]<>=")) t[static_cast<unsigned char>(c)] = false;
  return t;
}();

bool blank(unsigned char c) { return c == ' ' || c == '\t'; }

// snake_case or SCREAMING_CASE with two or more underscores: a name.
bool snake_name(std::string_view v) {
  std::size_t underscores = 0;
  bool lower = false, upper = false;
  for (char ch : v) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '_') ++underscores;
    else if (!in_class(c, kAlnum)) return false;
    lower |= in_class(c, kLower);
    upper |= in_class(c, kUpper);
  }
  return underscores >= 2 && !(lower && upper) && in_class(static_cast<unsigned char>(v.front()), kAlpha);
}

// name.name[.name...], each part an identifier.
bool dotted_name(std::string_view v) {
  bool part_start = true;
  bool dotted = false;
  for (char ch : v) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '.') {
      if (part_start) return false;
      part_start = true;
      dotted = true;
    } else if (part_start) {
      if (!in_class(c, kAlpha | kUnderscore)) return false;
      part_start = false;
    } else if (!in_class(c, kWord)) {
      return false;
    }
  }
  return dotted && !part_start;
}

// The assignment to a name that sounds like a secret (its name is s[b, e)),
// with `i` at the operator: out of line, as few names sound so.
[[gnu::noinline]] void secret_value(Scan& s, std::size_t i, std::size_t b, std::size_t e) {
  const unsigned char op = s.at(i);
  const unsigned char before = s.at(i - 1);
  if (op == '=' && (before == '=' || before == ':' || before == '!' || before == '<' || before == '>')) return;
  std::size_t v = i + 1;
  bool comparison = false;
  if (op == ':') {
    if (s.at(v) == ':') return;
    if (s.at(v) == '=') ++v;
  } else {
    comparison = s.at(v) == '=';
    while (v < i + 3 && s.at(v) == '=') ++v;
    if (s.at(v) == '>') ++v;
  }
  if (!secret_name(s.text.substr(b, e - b))) return;
  s.work += e - b;

  for (int k = 0; k < 4 && blank(s.at(v)); ++k) ++v;
  if (s.at(v) == '@') ++v;  // Objective-C @"..."
  // Python's b"...", r"...", f"...", u"...".
  if (in_class(s.at(v + 1), kQuote) && std::string_view("bBrRuUfF").find(static_cast<char>(s.at(v))) != std::string_view::npos) {
    ++v;
  }
  // "Authorization: Bearer <token>": the token is the value.
  for (std::string_view scheme : {"bearer ", "basic ", "token "}) {
    if (s.ilit(v, scheme)) v += scheme.size();
  }
  std::size_t vb, ve;
  if (in_class(s.at(v), kQuote)) {
    vb = v + 1;
    ve = s.find(vb, static_cast<char>(s.at(v)), 257);
    if (ve == std::string_view::npos) return;
  } else {
    vb = v;
    ve = vb;
    while (ve < s.size() && ve - vb < 256 && kUnquotedValue[s.at(ve)]) ++ve;
    while (ve < s.size() && ve - vb < 260 && s.at(ve) == '=') ++ve;  // base64 padding
    s.work += ve - vb + 1;
    // An index (data[...]) or a masking marker goes on where the value stops:
    // what came before it is no value of its own.
    if (s.at(ve) == '[') return;
  }
  const std::string_view value = s.text.substr(vb, ve - vb);
  s.work += value.size();
  // Unquoted code rather than a literal: a.b, self.key, module.CONSTANT,
  // Factory(), and anything compared with "==".
  if (!in_class(s.at(v), kQuote) && (comparison || dotted_name(value) || snake_name(value) || s.at(ve) == '(')) return;
  if (looks_random(value)) s.emit(RuleId::SecretAssignment, vb, ve, Priority::Generic);
}

// NAME = "value", NAME: value, "NAME": "value", NAME := value, NAME => value,
// NAME[] = "value" ... where NAME sounds like a secret and the value looks
// random. `i` is the first byte of the operator.
void secret_assignment(Scan& s, std::size_t i) {
  // The name, leftwards: blanks, an index "[...]", a closing quote.
  std::size_t e = i;
  for (int k = 0; k < 4 && blank(s.at(e - 1)); ++k) --e;
  if (s.at(e - 1) == ']') {
    const std::size_t open = s.span_back(e - 1, kDigit, 8);
    if (s.at(open - 1) != '[') return;
    e = open - 1;
  }
  if (in_class(s.at(e - 1), kQuote)) --e;
  const std::size_t b = s.span_back(e, kWord | kDash | kDot | kHigh, 64);
  if (b != e && may_name_secret(s.text.substr(b, e - b))) secret_value(s, i, b, e);
}

// ---- prefixes before '-' ----

void openai_family(Scan& s, std::size_t b, std::size_t dash) {
  if (s.lit(dash + 1, "ant-")) {
    token(s, RuleId::AnthropicApiKey, b, dash + 5, kB64Url, 32);
  } else if (s.lit(dash + 1, "or-v1-")) {
    token(s, RuleId::OpenrouterApiKey, b, dash + 7, kAlnum, 40);
  } else {
    const std::size_t end = s.run_end(dash + 1, kB64Url);
    const std::string_view body = s.text.substr(dash + 1, end - dash - 1);
    if (body.size() < 32 || body.size() > kMaxToken || !varied(body, 10)) return;
    // Keys mix digits and letters; hyphenated words do not.
    bool digit = false, alpha = false;
    for (unsigned char c : body) {
      digit |= in_class(c, kDigit);
      alpha |= in_class(c, kAlpha);
    }
    if (!digit || !alpha) return;
    s.emit(RuleId::OpenaiApiKey, b, end);
    s.resume = std::max(s.resume, end);
  }
}

// xox[abposr]-(digits-)+[a-z0-9]+, any case.
void slack_token(Scan& s, std::size_t b, std::size_t dash) {
  std::size_t q = dash + 1;
  int groups = 0;
  while (groups < 8) {
    const std::size_t d = s.span_fwd(q, kDigit, 20);
    if (d == q || s.at(d) != '-') break;
    q = d + 1;
    ++groups;
  }
  if (groups == 0) return;
  const std::size_t end = s.span_fwd(q, kAlnum, kMaxToken);
  if (end == q) return;
  s.emit(RuleId::SlackToken, b, end);
  s.resume = std::max(s.resume, end);
}

// 32 of [0-9a-z] then "-us" and the data centre number.
void mailchimp(Scan& s, std::size_t dash) {
  const std::size_t b = s.span_back(dash, kDigit | kLower, 33);
  if (dash - b != 32 || s.is(b - 1, kAlnum)) return;
  const std::size_t end = s.span_fwd(dash + 3, kDigit, 3);
  if (end == dash + 3 || end - (dash + 3) > 2 || s.is(end, kAlnum)) return;
  if (alnum_classes(s.text.substr(b, 32)) < 2) return;
  s.emit(RuleId::MailchimpApiKey, b, end);
  s.resume = std::max(s.resume, end);
}

}  // namespace

void on_underscore(Scan& s, std::size_t i) {
  const unsigned char k = s.at(i - 1);
  if (s.at(i - 3) == 'g' && s.at(i - 2) == 'h' && (k == 'p' || k == 'o' || k == 'u' || k == 's' || k == 'r') &&
      starts_word(s, i - 3)) {
    token(s, RuleId::GithubToken, i - 3, i + 1, kWord, 36);
  } else if (s.lit(i - 10, "github_pat_") && starts_word(s, i - 10)) {
    token(s, RuleId::GithubToken, i - 10, i + 1, kWord, 22);
  } else if (s.lit(i - 3, "npm") && starts_word(s, i - 3)) {
    token(s, RuleId::NpmToken, i - 3, i + 1, kAlnum, 36);
  } else if ((s.lit(i - 7, "sk_live") || s.lit(i - 7, "rk_live")) && starts_word(s, i - 7)) {
    token(s, RuleId::StripeSecretKey, i - 7, i + 1, kAlnum, 24);
  } else if (s.lit(i - 3, "gsk") && starts_word(s, i - 3)) {
    token(s, RuleId::GroqApiKey, i - 3, i + 1, kAlnum, 40);
  } else if (s.lit(i - 2, "hf") && starts_word(s, i - 2)) {
    const std::size_t end = s.span_fwd(i + 1, kAlnum, 41);
    if (end - i - 1 >= 30 && end - i - 1 <= 40 && alnum_classes(s.text.substr(i + 1, end - i - 1)) >= 2) {
      token(s, RuleId::HuggingfaceToken, i - 2, i + 1, kAlnum, 30, 40);
    }
  } else if (s.lit(i - 2, "r8") && starts_word(s, i - 2)) {
    token(s, RuleId::ReplicateApiToken, i - 2, i + 1, kAlnum, 32, 40);
  }
}

void on_dash(Scan& s, std::size_t i) {
  const unsigned char next = s.at(i + 1);
  if (next == '-') {
    if (s.at(i - 1) != '-' && (s.lit(i, "-----BEGIN ") || s.lit(i, "---- BEGIN "))) return private_key_block(s, i);
  } else if (next == 'u' && s.at(i + 2) == 's' && s.is(i + 3, kDigit)) {
    return mailchimp(s, i);
  }
  const std::size_t b = s.span_back(i, kAlnum, 8);
  if (b == i || i - b == 8) return;
  // Most dashes join words and numbers: refused on the prefix's first byte
  // before any of the prefixes below is compared.
  const unsigned char second = s.at(b + 1);
  switch (s.at(b)) {
    case 's':  // sk, sq0csp, sq0atp
      if (second != 'k' && second != 'q') return;
      break;
    case 'x':  // xai, xox? in any case
    case 'X':
      if (second != 'a' && second != 'o' && second != 'O') return;
      break;
    case 'g':  // gl...
      if (second != 'l') return;
      break;
    case 'p':  // pypi, pplx
      if (second != 'y' && second != 'p') return;
      break;
    case 'P':  // PuTTY
      if (second != 'u') return;
      break;
    default:
      return;
  }
  std::array<char, 8> buf{};
  for (std::size_t k = b; k < i; ++k) buf[k - b] = ascii_lower(static_cast<char>(s.at(k)));
  const std::string_view word(buf.data(), i - b);
  const std::string_view exact = s.text.substr(b, i - b);
  if (exact == "sk") return openai_family(s, b, i);
  if (word.size() == 4 && word.starts_with("xox") && std::string_view("abposr").find(word[3]) != std::string_view::npos) {
    return slack_token(s, b, i);
  }
  for (std::string_view p : {"glpat", "gldt", "glft", "glsoat", "glrt", "glcbt", "glimt", "glptt", "glagent", "gloas"}) {
    if (exact == p) {
      token(s, RuleId::GitlabToken, b, i + 1, kB64Url, 20);
      return;
    }
  }
  if (exact == "pypi" && s.lit(i + 1, "AgE")) {
    token(s, RuleId::PypiToken, b, i + 1, kB64Url, 50);
  } else if (exact == "sq0csp" || exact == "sq0atp") {
    token(s, RuleId::SquareToken, b, i + 1, kB64Url, 22);
  } else if (exact == "pplx") {
    token(s, RuleId::PerplexityApiKey, b, i + 1, kAlnum, 40);
  } else if (exact == "xai") {
    token(s, RuleId::XaiApiKey, b, i + 1, kAlnum, 40);
  } else if (exact == "PuTTY" && s.lit(i, "-User-Key-File-")) {
    putty_key(s, b);
  }
}

void on_colon(Scan& s, std::size_t i) {
  if (s.at(i + 1) == '/' && s.at(i + 2) == '/') return on_url(s, i);
  if (s.is(i - 1, kDigit)) {
    // Telegram bot token: 8 to 10 digits, ':', 35 of [A-Za-z0-9_-].
    const std::size_t b = s.span_back(i, kDigit, 11);
    const std::size_t end = s.span_fwd(i + 1, kB64Url, 36);
    if (i - b >= 8 && i - b <= 10 && end - i - 1 == 35 && alnum_classes(s.text.substr(i + 1, 35)) >= 2 &&
        varied(s.text.substr(i + 1, 35), 12)) {
      s.emit(RuleId::TelegramBotToken, b, end);
      s.resume = std::max(s.resume, end);
      return;
    }
  }
  if (line_marker_before_colon(s, i)) return;
  secret_assignment(s, i);
}

void on_equals(Scan& s, std::size_t i) {
  if (s.lit(i - 10, "AccountKey")) {
    const std::size_t end = s.span_fwd(i + 1, kB64 | kEquals, 101);
    if (end - i - 1 >= 80 && end - i - 1 <= 100) {
      s.emit(RuleId::AzureStorageKey, i + 1, end);
      s.resume = std::max(s.resume, end);
      return;
    }
  }
  if (s.at(i - 11) == ':' && s.lit(i - 10, "_authToken")) {
    // An .npmrc registry token: whatever its form, it is the credential.
    std::size_t vb = i + 1;
    while (blank(s.at(vb)) && vb < i + 5) ++vb;
    std::size_t ve = vb;
    while (ve < s.size() && ve - vb < kMaxToken && kUnquotedValue[s.at(ve)]) ++ve;
    s.work += ve - vb + 1;
    if (ve - vb >= 8 && s.at(vb) != '$') {
      s.emit(RuleId::NpmToken, vb, ve);
      s.resume = std::max(s.resume, ve);
      return;
    }
  }
  secret_assignment(s, i);
}

// Discord bot token: [MNO] and 23-25 of [\w-], '.', 6 of them, '.', 27 to
// 38 of them. `i` is the first '.', and the prefilter has seen the second.
void on_dot_pair(Scan& s, std::size_t i) {
  if (s.span_fwd(i + 1, kB64Url, 6) != i + 7) return;
  const std::size_t end = s.span_fwd(i + 8, kB64Url, 39);
  if (end - (i + 8) < 27 || end - (i + 8) > 38) return;
  const std::size_t b = s.span_back(i, kB64Url, 27);
  if (i - b < 24 || i - b > 26) return;
  const unsigned char first = s.at(b);
  if (first != 'M' && first != 'N' && first != 'O') return;
  if (alnum_classes(s.text.substr(b, end - b)) < 3) return;
  s.emit(RuleId::DiscordBotToken, b, end);
  s.resume = std::max(s.resume, end);
}

void on_upper_pair(Scan& s, std::size_t i) {
  const unsigned char c = s.at(i);
  const unsigned char d = s.at(i + 1);
  if (c == 'A') {
    if (!starts_word(s, i)) return;
    if (s.lit(i, "AKIA") || s.lit(i, "ASIA") || s.lit(i, "ABIA") || s.lit(i, "ACCA") ||
        (s.lit(i, "A3T") && s.is(i + 3, kAlnumUpperDigit))) {
      return aws_key(s, i);
    }
  }
  if ((c == 'A' && d == 'C') || (c == 'S' && d == 'K')) {
    // Twilio account SID or API key SID: AC or SK and 32 of [a-z0-9].
    const std::size_t end = s.span_fwd(i + 2, kDigit | kLower, 33);
    if (starts_word(s, i) && end - i - 2 == 32 && alnum_classes(s.text.substr(i + 2, 32)) == 2) {
      s.emit(RuleId::TwilioKey, i, end);
      s.resume = std::max(s.resume, end);
    }
    return;
  }
  if (c == 'S' && d == 'G' && s.at(i + 2) == '.') {
    // SendGrid: SG. 22 of [\w-] . 43 of [\w-]
    if (s.span_fwd(i + 3, kB64Url, 23) != i + 25 || s.at(i + 25) != '.') return;
    const std::size_t end = s.span_fwd(i + 26, kB64Url, 44);
    if (end - (i + 26) == 43) {
      s.emit(RuleId::SendgridApiKey, i, end);
      s.resume = std::max(s.resume, end);
    }
    return;
  }
  if (c == 'G' && d == 'R' && s.lit(i, "GR1348941")) {
    token(s, RuleId::GitlabToken, i, i + 9, kB64Url, 20);
    return;
  }
  if (c == 'D' && d == 'A') on_persona(s, i);
}

void on_jwt_or_gcp(Scan& s, std::size_t i) {
  if (s.at(i) == 'I') {
    // Google API key: AIza and 35 of [A-Za-z0-9_-].
    if (s.at(i - 1) != 'A' || s.at(i + 2) != 'a' || s.is(i - 2, kB64Url)) return;
    const std::size_t end = s.span_fwd(i + 3, kB64Url, 36);
    if (end - (i + 3) == 35 && varied(s.text.substr(i + 3, 35), 10)) {
      s.emit(RuleId::GcpApiKey, i - 1, end);
      s.resume = std::max(s.resume, end);
    }
    return;
  }
  // JSON Web Token: base64url header (a JSON object naming "alg"),
  // '.', payload (a JSON object), then '.' and the signature (may be empty).
  const std::size_t b = i - 1;
  if (s.at(b) != 'e' || s.is(b - 1, kB64Url)) return;
  const std::size_t header_end = s.run_end(b, kB64Url);
  if (s.at(header_end) != '.' || header_end - b > 2048) return;
  std::array<char, 1536> header;
  const auto len = b64url_decode(s.text.substr(b, header_end - b), header.data(), header.size());
  s.work += header_end - b;
  if (!len || *len < 2 || header[0] != '{') return;
  const std::string_view json(header.data(), *len);
  if (json.find("\"alg\"") == std::string_view::npos) return;
  const std::size_t payload = header_end + 1;
  const std::size_t payload_end = s.run_end(payload, kB64Url);
  if (payload_end - payload < 4) return;
  std::array<char, 3> first;
  if (!b64url_decode(s.text.substr(payload, 4), first.data(), first.size()) || first[0] != '{') return;
  std::size_t end = payload_end;
  if (s.at(payload_end) == '.') end = s.run_end(payload_end + 1, kB64Url);
  s.emit(RuleId::JsonWebToken, b, end);
  s.resume = std::max(s.resume, end);
}

}  // namespace korvanta::scanner_detail
