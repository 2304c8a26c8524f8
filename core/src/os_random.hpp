// The operating system's cryptographic random source, as used for identifiers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvanta::detail {

// Fills `buf` with `len` bytes in one logical request: getrandom(2) through
// the C library, continued over short reads and EINTR; where getrandom is
// unavailable (ENOSYS, EPERM) /dev/urandom, once /dev/random has been readable.
// Throws korvanta::Fault "could not retrieve random bytes for uuid: <cause>".
void fill_os_random(std::uint8_t* buf, std::size_t len);

}  // namespace korvanta::detail
