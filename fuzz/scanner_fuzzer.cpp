// libFuzzer target for the security scanner over arbitrary bytes.
//
// The first byte picks the text kind (Content, Command, Url, Path, by its
// low two bits); the rest is the text. Checks, for every input:
//  - scanning never crashes or reads outside the text (ASan/UBSan watch);
//  - the vector prefilter and the scalar one select the same positions;
//  - every match lies inside the text, and the matches of each pass (the
//    Content rules, then the action rules) are in order and disjoint;
//  - the work done stays within a constant per byte;
//  - masking replaces exactly the credential and personal-data matches by
//    their markers (round after round, as documented), leaves nothing for a
//    second mask to do, and leaves no credential or personal data behind.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "korvanta/scanner.hpp"
#include "scanner_scan.hpp"

namespace {

using namespace korvanta;

[[noreturn]] void fail(const char* what, std::string_view input, std::string_view detail = {}) {
  std::fprintf(stderr, "scanner_fuzzer: %s\n  input (%zu bytes): ", what, input.size());
  for (unsigned char c : input) std::fprintf(stderr, "\\x%02x", c);
  std::fprintf(stderr, "\n  detail: %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::abort();
}

bool maskable(RuleId id) {
  const FindingType t = rule_info(id).type;
  return t == FindingType::Credential || t == FindingType::PersonalData;
}

// Bytes of work per byte of text that no input may exceed: the validators'
// windows are bounded (the widest, AWS's look-around, reads about 600
// bytes around a key id, and key ids cannot sit closer than 20 bytes).
constexpr double kMaxWorkPerByte = 96.0;

void check_matches(std::string_view text, TextKind kind) {
  std::vector<TextMatch> content, action;
  ScanStats stats;
  scan_text(
      text,
      [&](const TextMatch& m) {
        (rule_info(m.rule).type == FindingType::RiskyAction ? action : content).push_back(m);
      },
      kind, &stats);
  for (const auto* pass : {&content, &action}) {
    for (std::size_t k = 0; k < pass->size(); ++k) {
      const TextMatch& m = (*pass)[k];
      if (m.begin >= m.end || m.end > text.size()) fail("match outside the text", text, rule_info(m.rule).name);
      if (k > 0 && (*pass)[k - 1].end > m.begin) fail("matches out of order or overlapping", text, rule_info(m.rule).name);
      if (m.rule == RuleId::CredentialInActionArguments || m.rule == RuleId::CredentialInActionResult) {
        fail("a span-only rule reported by scan_text", text);
      }
    }
  }
  if (kind == TextKind::Content && !action.empty()) fail("an action rule in Content text", text);
  if (static_cast<double>(stats.bytes_examined) > kMaxWorkPerByte * static_cast<double>(text.size() + 64)) {
    fail("work out of proportion to the text", text, std::to_string(stats.bytes_examined));
  }
  if (stats.candidates > text.size()) fail("more candidates than bytes", text);
}

// Masking by hand from the matches, round by round as mask_text does.
std::string mask_rounds(std::string_view text) {
  std::string current(text);
  for (int round = 0; round < 4; ++round) {
    std::string next;
    std::size_t copied = 0;
    for (const TextMatch& m : find_matches(current)) {
      if (!maskable(m.rule)) continue;
      next.append(current, copied, m.begin - copied);
      next += kRedactedPrefix;
      next += rule_info(m.rule).name;
      next += ']';
      copied = m.end;
    }
    if (copied == 0 && next.empty()) break;
    next.append(current, copied);
    current = std::move(next);
  }
  return current;
}

void check_mask(std::string_view text) {
  const std::string masked = mask_text(text);
  if (masked != mask_rounds(text)) fail("masking replaced other bytes than the matches", text, masked);
  for (const TextMatch& m : find_matches(masked)) {
    if (maskable(m.rule)) fail("masked text still holds a credential or personal data", text, rule_info(m.rule).name);
  }
  if (mask_text(masked) != masked) fail("masking twice changes the text again", text, masked);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto kind = static_cast<TextKind>(data[0] & 3);
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (scanner_detail::prefilter_positions(text, true) != scanner_detail::prefilter_positions(text, false)) {
    fail("vector and scalar prefilters disagree", text);
  }
  check_matches(text, kind);
  check_mask(text);
  return 0;
}
