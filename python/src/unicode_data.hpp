// Unicode character data for the Python extension: which code points a repr
// shows escaped, and str.lower() on UTF-8. Tables in unicode_data.cpp (generated).
#pragma once

#include <string>
#include <string_view>

namespace korvanta::py::unicode {

// True for code points of general category Cc, Cf, Zl, Zp, Zs (but not
// U+0020 SPACE), Cs, Co or Cn, and for those with Grapheme_Extend: the ones a
// repr should write as an escape rather than as themselves. Also true for
// values above U+10FFFF.
bool needs_debug_escape(char32_t cp) noexcept;

// Appends the full lowercase of the UTF-8 text utf8 to out, as Python's
// str.lower() gives it: multi-character mappings included, U+03A3 to final
// sigma at the end of a word. utf8 is expected to be valid UTF-8; bytes that
// are not are copied unchanged, and nothing outside the view is read.
void append_lowercase(std::string& out, std::string_view utf8);

}  // namespace korvanta::py::unicode
