// The operating system's cryptographic random source, as used for identifiers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvanta::detail {

// Fills `buf` with `len` bytes in one logical request: getrandom(2), through
// the kernel's vDSO where it offers getrandom and the process has not put its
// own getrandom in place of the C library's, else through the C library;
// continued over short reads and EINTR; where getrandom is unavailable
// (ENOSYS, EPERM) /dev/urandom, once /dev/random has been readable. No bytes
// are kept between requests. Throws korvanta::Fault "could not retrieve
// random bytes for uuid: <cause>".
void fill_os_random(std::uint8_t* buf, std::size_t len);

// Which path serves requests now. The first call makes the once-only choice
// between the vDSO and the C library, as the first request would.
enum class RandomSource { Vdso, CLibrary, DeviceFile };
RandomSource os_random_source();

}  // namespace korvanta::detail
