// SecurityFinding: one security observation about a traced call, made by the
// scanner (scanner.hpp); a span holds its findings and exports them.
#pragma once

#include <optional>
#include <string>

#include "korvanta/enums.hpp"
#include "korvanta/string_map.hpp"
#include "korvanta/timestamp.hpp"
#include "korvanta/uuid.hpp"

namespace korvanta {

struct SecurityFinding {
  Uuid id;
  SecuritySeverity severity = SecuritySeverity::Info;
  std::string finding_type;
  std::string description;
  Timestamp detected_at;
  double confidence_score = 0.0;
  std::optional<std::string> location;
  StringMap metadata;
  bool requires_alert = false;
};

}  // namespace korvanta
