// Risky agent actions, the second pass over Command, Url and Path texts:
// destructive commands, downloads piped into a shell, credential files,
// cloud metadata endpoints, private addresses, system directories and ".."
// escapes.
#include <array>
#include <string_view>

#include "scanner_checks.hpp"
#include "scanner_scan.hpp"
#include "scanner_url.hpp"

namespace korvanta::scanner_detail {
namespace {

constexpr std::size_t npos = std::string_view::npos;
constexpr std::size_t kMaxCommand = 256;

bool blank(unsigned char c) { return c == ' ' || c == '\t'; }
// Bytes that end one command of a command line.
bool command_end(unsigned char c) { return c == '\n' || c == ';' || c == '|' || c == '&' || c == 0; }
// Bytes that end a path or argument token.
bool token_end(unsigned char c) {
  return c <= 0x20 || c == '"' || c == '\'' || c == '`' || c == ',' || c == ';' || c == '|' || c == '&' ||
         c == '(' || c == ')' || c == '<' || c == '>' || c == '{' || c == '}' || c == '[' || c == ']';
}

std::size_t skip_blanks(Scan& s, std::size_t q, std::size_t limit) {
  while (q < limit && blank(s.at(q))) ++q;
  return q;
}

std::size_t token_close(Scan& s, std::size_t q, std::size_t limit) {
  const std::size_t from = q;
  while (q < limit && !token_end(s.at(q))) ++q;
  s.work += q - from + 1;
  return q;
}

std::string_view unquote(std::string_view t) {
  if (t.size() >= 2 && (t.front() == '"' || t.front() == '\'') && t.back() == t.front()) return t.substr(1, t.size() - 2);
  return t;
}

// ---- credential files ----

struct CredentialFile {
  std::string_view fragment;
  bool key_name;  // ".ssh/id_": a key file name follows, not a ".pub"
};
constexpr std::array<CredentialFile, 22> kCredentialFiles = {{
    {".ssh/id_", true},
    {".aws/credentials", false},
    {".netrc", false},
    {"_netrc", false},
    {".git-credentials", false},
    {".docker/config.json", false},
    {".kube/config", false},
    {".pgpass", false},
    {".pypirc", false},
    {".npmrc", false},
    {".vault-token", false},
    {".azure/accessTokens.json", false},
    {".azure/msal_token_cache", false},
    {".config/gh/hosts.yml", false},
    {"/gcloud/credentials.db", false},
    {"/gcloud/application_default_credentials.json", false},
    {"/gcloud/access_tokens.db", false},
    {"/gcloud/legacy_credentials", false},
    {"/etc/shadow", false},
    {"/etc/gshadow", false},
    {"/etc/master.passwd", false},
    {"/proc/self/environ", false},
}};

// The end of a credential-file name that starts at `q` (a '.', '_' or '/'),
// or npos. Bare key file names ("id_rsa") are found at their '_'.
std::size_t credential_file_at(Scan& s, std::size_t q) {
  const unsigned char c = s.at(q);
  if (c == '_' && s.lit(q - 2, "id") && !s.is(q - 3, kAlnum | kDot)) {
    for (std::string_view alg : {"rsa", "ed25519", "ecdsa", "dsa"}) {
      if (s.lit(q + 1, alg) && !s.is(q + 1 + alg.size(), kWord) && s.at(q + 1 + alg.size()) != '.') {
        return q + 1 + alg.size();
      }
    }
  }
  if (c != '/' && s.is(q - 1, kAlnum)) return npos;  // "foo.netrc" is not ".netrc"
  for (const CredentialFile& f : kCredentialFiles) {
    if (static_cast<unsigned char>(f.fragment[0]) != c || !s.lit(q, f.fragment)) continue;
    std::size_t end = q + f.fragment.size();
    if (f.key_name) {
      end = s.span_fwd(end, kWord, 32);
      if (s.lit(end, ".pub")) return npos;
    } else if (s.is(end, kAlnum)) {
      continue;
    }
    return end;
  }
  if (c == '/' && s.lit(q, "/serviceaccount/token")) return q + 21;
  return npos;
}

// Reports the token around a credential file name found at [q, end).
void credential_file(Scan& s, std::size_t q, std::size_t end) {
  std::size_t b = q;
  while (b > 0 && q - b < 128 && !token_end(s.at(b - 1))) --b;
  const std::size_t e = token_close(s, end, std::min(s.size(), end + 128));
  s.emit(RuleId::CredentialFileAccess, b, e);
}

// ---- commands ----

// A target that `rm -r` must not be pointed at: the root, a home directory
// or a top-level system directory, with an optional "/" or "/*".
bool dangerous_target(std::string_view t) {
  t = unquote(t);
  if (t.empty() || (t[0] != '/' && t[0] != '~' && t[0] != '$')) return t.empty();
  if (t.ends_with("/*")) t.remove_suffix(2);
  else if (t.size() > 1 && t.ends_with("/")) t.remove_suffix(1);
  for (std::string_view d : {"", "/", "/.", "~", "$HOME", "${HOME}", "/home", "/root", "/etc", "/usr", "/var", "/boot",
                             "/bin", "/sbin", "/lib", "/lib64", "/opt", "/srv", "/dev", "/sys", "/proc"}) {
    if (t == d) return true;
  }
  return false;
}

// rm with a recursive flag and a dangerous target, or --no-preserve-root,
// among its first eight arguments.
void rm_command(Scan& s, std::size_t b, std::size_t e) {
  const std::size_t limit = std::min(s.size(), b + kMaxCommand);
  bool recursive = false, no_preserve = false;
  std::size_t danger_end = npos;
  std::size_t q = e;
  for (int arguments = 0; arguments < 8; ++arguments) {
    q = skip_blanks(s, q, limit);
    if (q >= limit || command_end(s.at(q))) break;
    std::size_t te = q;
    const unsigned char quote = s.at(q);
    if (quote == '"' || quote == '\'') {
      const std::size_t close = s.find(q + 1, static_cast<char>(quote), limit - q);
      te = close == npos ? limit : close + 1;
    } else {
      while (te < limit && !blank(s.at(te)) && !command_end(s.at(te))) ++te;
    }
    s.work += te - q + 1;
    const std::string_view t = s.text.substr(q, te - q);
    if (t == "--recursive") {
      recursive = true;
    } else if (t == "--no-preserve-root") {
      no_preserve = true;
      danger_end = te;
    } else if (t.size() > 1 && t[0] == '-' && t[1] != '-') {
      recursive = recursive || t.find_first_of("rR") != npos;
    } else if (dangerous_target(t) && danger_end == npos) {
      danger_end = te;
    }
    q = te;
  }
  if (danger_end != npos && (recursive || no_preserve)) s.emit(RuleId::DestructiveCommand, b, danger_end);
}

// A whole-disk device: /dev/sdX, hdX, vdX, xvdX, nvmeN, mmcblkN, diskN.
std::size_t disk_device_end(Scan& s, std::size_t q) {
  if (!s.lit(q, "/dev/")) return npos;
  q += 5;
  for (std::string_view dev : {"sd", "hd", "vd", "xvd"}) {
    if (s.lit(q, dev) && s.is(q + dev.size(), kLower)) return token_close(s, q, std::min(s.size(), q + 32));
  }
  for (std::string_view dev : {"nvme", "mmcblk", "disk"}) {
    if (s.lit(q, dev) && s.is(q + dev.size(), kDigit)) return token_close(s, q, std::min(s.size(), q + 32));
  }
  return npos;
}

void dd_command(Scan& s, std::size_t b, std::size_t e) {
  const std::size_t limit = std::min(s.size(), b + kMaxCommand);
  for (std::size_t q = e; q < limit && !command_end(s.at(q)); ++q) {
    s.work += 1;
    if (s.lit(q, "of=") && !s.is(q - 1, kAlnum)) {
      const std::size_t end = disk_device_end(s, q + 3);
      if (end != npos) s.emit(RuleId::DestructiveCommand, b, end);
      return;
    }
  }
}

bool shell_name(std::string_view w) {
  if (const std::size_t slash = w.rfind('/'); slash != npos) w = w.substr(slash + 1);
  for (std::string_view sh : {"sh", "bash", "zsh", "dash", "ksh", "fish"}) {
    if (w == sh) return true;
  }
  return false;
}

// The words of a command, skipping "sudo" and "env" with their options and
// assignments; returns the end of the first other word when it is a shell.
std::size_t shell_after(Scan& s, std::size_t q, std::size_t limit) {
  for (int words = 0; words < 6; ++words) {
    q = skip_blanks(s, q, limit);
    const std::size_t we = token_close(s, q, limit);
    if (we == q) return npos;
    const std::string_view w = s.text.substr(q, we - q);
    if (w == "sudo" || w == "env" || w.starts_with("-") || w.find('=') != npos) {
      q = we;
      continue;
    }
    return shell_name(w) ? we : npos;
  }
  return npos;
}

// State of the Command pass: where the last search for a '|' ended, so that
// many downloads on one line share one search.
struct PipeMemo {
  std::size_t from = npos;
  std::size_t found = npos;  // the '|', or where the line ended
};

// curl or wget whose output goes to a shell: "curl URL | sudo bash",
// "bash <(curl URL)", "sh -c \"$(wget -qO- URL)\"".
void download_command(Scan& s, std::size_t b, std::size_t e, PipeMemo& memo) {
  if (!(memo.from != npos && memo.from <= e && e <= memo.found)) {
    std::size_t q = e;
    const std::size_t limit = std::min(s.size(), e + 1024);
    while (q < limit && s.at(q) != '\n' && !(s.at(q) == '|' && s.at(q + 1) != '|' && s.at(q - 1) != '|')) ++q;
    s.work += q - e + 1;
    memo = {e, q};
  }
  const std::size_t bar = memo.found;
  if (s.at(bar) == '|') {
    const std::size_t end = shell_after(s, bar + 1, std::min(s.size(), bar + 64));
    if (end != npos) {
      s.emit(RuleId::DownloadPipedToShell, b, end);
      return;
    }
  }
  // Process or command substitution handing the download to a shell.
  std::size_t open = b;
  if (s.at(open - 1) == '(' && (s.at(open - 2) == '<' || s.at(open - 2) == '$')) {
    open -= 2;
  } else {
    return;
  }
  const std::size_t from = open > 40 ? open - 40 : 0;
  for (std::size_t q = from; q < open; ++q) {
    if (token_end(s.at(q - 1)) && !token_end(s.at(q))) {
      const std::size_t we = token_close(s, q, open);
      if (shell_name(s.text.substr(q, we - q))) {
        s.emit(RuleId::DownloadPipedToShell, q, e);
        return;
      }
    }
  }
}

// name(){ name|name& };name - the fork bomb, with ':' or any word as name.
void fork_bomb(Scan& s, std::size_t paren) {
  std::size_t nb = s.at(paren - 1) == ':' ? paren - 1 : s.span_back(paren, kWord, 32);
  if (nb == paren) return;
  const std::string_view name = s.text.substr(nb, paren - nb);
  const std::size_t limit = std::min(s.size(), paren + 64);
  std::size_t q = paren;
  const auto expect = [&](std::string_view t) {
    q = skip_blanks(s, q, limit);
    if (!s.lit(q, t)) return false;
    q += t.size();
    return true;
  };
  if (expect("()") && expect("{") && expect(name) && expect("|") && expect(name) && expect("&") && expect("}") &&
      expect(";") && expect(name)) {
    s.emit(RuleId::DestructiveCommand, nb, q);
  }
}

void command_word(Scan& s, std::size_t b, std::size_t e, PipeMemo& memo) {
  const std::string_view w = s.text.substr(b, e - b);
  if (w == "rm") return rm_command(s, b, e);
  if (w == "dd") return dd_command(s, b, e);
  if (w == "mkfs" || w.starts_with("mkfs.")) {
    if (!command_end(s.at(skip_blanks(s, e, std::min(s.size(), e + 8))))) s.emit(RuleId::DestructiveCommand, b, e);
    return;
  }
  if (w == "curl" || w == "wget") return download_command(s, b, e, memo);
  if (w == "metadata.google.internal") s.emit(RuleId::CloudMetadataAccess, b, e);
}

// The bytes at which a command rule can start; the rest are skipped in a
// tight loop.
constexpr std::array<bool, 256> kCommandStart = [] {
  std::array<bool, 256> t{};
  for (char c : std::string_view("cdmrw(>._/:0123456789")) t[static_cast<unsigned char>(c)] = true;
  return t;
}();

void command_rules(Scan& s) {
  PipeMemo memo;
  const std::size_t n = s.size();
  const auto* p = reinterpret_cast<const unsigned char*>(s.text.data());
  for (std::size_t i = 0; i < n; ++i) {
    while (i < n && !kCommandStart[p[i]]) ++i;
    if (i == n) break;
    const unsigned char c = p[i];
    switch (c) {
      case 'c':  // curl
      case 'd':  // dd
      case 'm':  // mkfs, metadata.google.internal
      case 'r':  // rm
      case 'w':  // wget
        if (!s.is(i - 1, kWord | kDash | kDot)) {
          const std::size_t e = s.span_fwd(i, kWord | kDash | kDot, 32);
          if (!s.is(e, kWord | kDash | kDot)) command_word(s, i, e, memo);
        }
        break;
      case '(':
        fork_bomb(s, i);
        break;
      case '>': {
        const std::size_t q = skip_blanks(s, i + 1, std::min(n, i + 8));
        const std::size_t end = disk_device_end(s, q);
        if (end != npos && s.at(i - 1) != '2' && s.at(i - 1) != '&') s.emit(RuleId::DestructiveCommand, i, end);
        break;
      }
      case '.':
      case '_':
      case '/': {
        const std::size_t end = credential_file_at(s, i);
        if (end != npos) {
          credential_file(s, i, end);
          i = end - 1;
        }
        break;
      }
      case ':':
        if (s.at(i + 1) == '/' && s.at(i + 2) == '/') {
          const Authority a = parse_authority(s, i + 3);
          if (classify_host(s.text.substr(a.host_begin, a.host_end - a.host_begin)) == HostKind::Metadata) {
            s.emit(RuleId::CloudMetadataAccess, a.host_begin, a.host_end);
          }
          i = a.end - 1;
        }
        break;
      default:
        // A bare dotted IPv4 address of a metadata endpoint.
        if (in_class(c, kDigit) && !s.is(i - 1, kAlnum | kDot)) {
          const std::size_t end = s.span_fwd(i, kDigit | kDot, 16);
          const std::string_view dotted = s.text.substr(i, end - i);
          if (std::count(dotted.begin(), dotted.end(), '.') == 3 && classify_host(dotted) == HostKind::Metadata) {
            s.emit(RuleId::CloudMetadataAccess, i, end);
          }
          i = end - 1;
        }
        break;
    }
  }
  s.work += n;
}

// ---- file paths ----

// Credential files, then ".." segments, then system directories (unless the
// path already named a credential file) over [from, to).
void path_rules(Scan& s, std::size_t from, std::size_t to) {
  bool credential = false;
  for (std::size_t q = from; q < to; ++q) {
    const unsigned char c = s.at(q);
    if (c == '.' || c == '_' || c == '/') {
      const std::size_t end = credential_file_at(s, q);
      if (end != npos && end <= to) {
        s.emit(RuleId::CredentialFileAccess, q, end);
        credential = true;
        break;
      }
    }
  }
  s.work += to - from;
  // ".." as a whole segment, also percent-encoded.
  std::size_t first = npos, last = npos;
  for (std::size_t q = from; q < to;) {
    const std::size_t seg_end = [&] {
      std::size_t k = q;
      while (k < to && s.at(k) != '/' && s.at(k) != '\\' && !s.ilit(k, "%2f") && !s.ilit(k, "%5c")) ++k;
      return k;
    }();
    const std::string_view seg = s.text.substr(q, seg_end - q);
    if (seg == ".." || (seg.size() == 6 && s.ilit(q, "%2e%2e")) || (seg.size() == 4 && (s.ilit(q, ".%2e") || s.ilit(q, "%2e.")))) {
      if (first == npos) first = q;
      last = seg_end;
    }
    if (seg_end >= to) break;
    q = seg_end + (s.at(seg_end) == '%' ? 3 : 1);
  }
  if (first != npos) s.emit(RuleId::PathTraversal, first, last);
  if (credential) return;
  std::size_t p = from;
  if (s.ilit(p, "file://")) p += 7;
  for (std::string_view dir : {"/etc", "/root", "/boot", "/dev", "/proc", "/sys", "/bin", "/sbin", "/lib", "/lib64",
                               "/usr/bin", "/usr/sbin", "/usr/lib", "/var/log", "/var/lib"}) {
    if (s.lit(p, dir) && (p + dir.size() == to || s.at(p + dir.size()) == '/')) {
      s.emit(RuleId::SystemPathAccess, p, p + dir.size());
      return;
    }
  }
  // Windows: C:\Windows, C:/Windows\System32, ...
  if (s.is(p, kAlpha) && s.at(p + 1) == ':' && (s.at(p + 2) == '\\' || s.at(p + 2) == '/') && s.ilit(p + 3, "windows") &&
      (p + 10 == to || s.at(p + 10) == '\\' || s.at(p + 10) == '/')) {
    s.emit(RuleId::SystemPathAccess, p, p + 10);
  }
}

// ---- web targets ----

void url_rules(Scan& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && in_class(s.at(b), kSpace)) ++b;
  while (e > b && in_class(s.at(e - 1), kSpace)) --e;
  std::size_t from = b;
  const std::size_t scheme_end = s.find(b, ':', 33);
  if (scheme_end != npos && s.lit(scheme_end, "://") && s.is(b, kAlpha)) {
    if (s.ilit(b, "file:")) return path_rules(s, scheme_end + 3, e);
    from = scheme_end + 3;
  }
  const Authority a = parse_authority(s, from);
  const HostKind kind = classify_host(s.text.substr(a.host_begin, a.host_end - a.host_begin));
  if (kind == HostKind::Metadata) s.emit(RuleId::CloudMetadataAccess, a.host_begin, a.host_end);
  if (kind == HostKind::Private) s.emit(RuleId::PrivateNetworkAccess, a.host_begin, a.host_end);
}

}  // namespace

void scan_action_text(Scan& s) {
  switch (s.kind) {
    case TextKind::Command:
      return command_rules(s);
    case TextKind::Url:
      return url_rules(s);
    case TextKind::Path:
      return path_rules(s, 0, s.size());
    case TextKind::Content:
      return;
  }
}

}  // namespace korvanta::scanner_detail
