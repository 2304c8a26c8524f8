// Whether the process calls its own getrandom in place of the C library's,
// as the fault tests arrange with a preloaded or linked-in stand-in.
#pragma once

namespace korvanta::detail {

// True when the getrandom that a call from this library reaches is not the C
// library's own, so requests must keep going through that function. The
// pass-through interceptors of the sanitizer runtimes do not count, but a
// substitute loaded behind them, which they forward to, does. Where the
// answer cannot be found out, true.
bool getrandom_substituted() noexcept;

}  // namespace korvanta::detail
