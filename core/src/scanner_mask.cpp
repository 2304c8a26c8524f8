// Masking: credentials and personal data in a text replaced by markers that
// name the rule, everything else kept byte for byte.
#include <string>

#include "korvanta/scanner.hpp"

namespace korvanta {

std::string mask_text(std::string_view text) {
  std::string out;
  std::size_t copied = 0;
  bool masked = false;
  scan_text(text, [&](const TextMatch& m) {
    const Rule& rule = rule_info(m.rule);
    if (rule.type != FindingType::Credential && rule.type != FindingType::PersonalData) return;
    if (out.capacity() == 0) out.reserve(text.size());
    out.append(text.substr(copied, m.begin - copied));
    out += kRedactedPrefix;
    out += rule.name;
    out += ']';
    copied = m.end;
    masked = true;
  });
  if (!masked) return std::string(text);
  out.append(text.substr(copied));
  return out;
}

}  // namespace korvanta
