// Masking: credentials and personal data in a text replaced by markers that
// name the rule, everything else kept byte for byte.
#include <string>

#include "korvanta/scanner.hpp"

namespace korvanta {
namespace {

// One round; false when there was nothing to mask.
bool mask_round(std::string_view text, std::string& out) {
  std::size_t copied = 0;
  bool masked = false;
  out.clear();
  scan_text(text, [&](const TextMatch& m) {
    const Rule& rule = rule_info(m.rule);
    if (rule.type != FindingType::Credential && rule.type != FindingType::PersonalData) return;
    if (!masked) out.reserve(text.size());
    out.append(text.substr(copied, m.begin - copied));
    out += kRedactedPrefix;
    out += rule.name;
    out += ']';
    copied = m.end;
    masked = true;
  });
  if (masked) out.append(text.substr(copied));
  return masked;
}

}  // namespace

// A marker changes the bytes around it, which can settle a neighbour that
// was in doubt: "+40 7947 0958.536-22-1234" reads as a decimal number
// followed by an SSN, and once the SSN is masked, the phone number before
// it stands alone. So masking repeats until a round finds nothing, at most
// kMaskRounds times; a text without findings is scanned once.
std::string mask_text(std::string_view text) {
  constexpr int kMaskRounds = 4;
  std::string current, next;
  if (!mask_round(text, current)) return std::string(text);
  for (int round = 1; round < kMaskRounds && mask_round(current, next); ++round) current.swap(next);
  return current;
}

}  // namespace korvanta
