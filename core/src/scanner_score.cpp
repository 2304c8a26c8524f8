// The security score of a list of findings.
#include <algorithm>

#include "korvanta/scanner.hpp"

namespace korvanta {

std::uint8_t security_score(std::span<const SecurityFinding> findings) noexcept {
  unsigned lost = 0;
  for (const SecurityFinding& f : findings) {
    lost = std::min(100u, lost + severity_weight(f.severity));
  }
  return static_cast<std::uint8_t>(100 - lost);
}

}  // namespace korvanta
