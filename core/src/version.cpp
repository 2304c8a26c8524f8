// The version string, handed in by the build from the CMake project version.
#include "korvanta/version.hpp"

#ifndef KORVANTA_VERSION
#error "KORVANTA_VERSION must be defined by the build"
#endif

namespace korvanta {

std::string_view library_version() noexcept { return KORVANTA_VERSION; }

}  // namespace korvanta
