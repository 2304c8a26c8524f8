// The library's version, the project version it was built from.
#pragma once

#include <string_view>

namespace korvanta {

// "MAJOR.MINOR.PATCH", e.g. "0.1.1": what OTLP exports name as the
// instrumentation scope's version.
std::string_view library_version() noexcept;

}  // namespace korvanta
