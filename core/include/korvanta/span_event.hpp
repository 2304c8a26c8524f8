// SpanEvent: one timestamped event on a span. Nothing in this library creates
// events; a span holds them and exports them.
#pragma once

#include <string>

#include "korvanta/string_map.hpp"
#include "korvanta/timestamp.hpp"
#include "korvanta/uuid.hpp"

namespace korvanta {

struct SpanEvent {
  Uuid id;
  Timestamp timestamp;
  std::string event_type;
  std::string description;
  StringMap data;
};

}  // namespace korvanta
