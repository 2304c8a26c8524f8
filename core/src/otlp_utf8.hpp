// Valid UTF-8 for protobuf string fields: the size a text takes once every
// malformed byte is replaced by U+FFFD, and the copy that replaces them.
#pragma once

#include <cstddef>
#include <string_view>

namespace korvanta::otlp {

// Bytes of `text` after repair: text.size() exactly when the text is valid
// UTF-8 (so callers learn validity from the same scan), larger otherwise.
// Every byte that does not start a well-formed character (overlong forms,
// surrogates and code points past U+10FFFF included) counts as the three
// bytes of U+FFFD, the rule the identifier parser's messages follow too.
std::size_t utf8_repaired_size(std::string_view text) noexcept;

// Writes the repaired `text` at `out`, which has room for exactly
// utf8_repaired_size(text) bytes; returns the end of what was written.
char* write_utf8_repaired(char* out, std::string_view text) noexcept;

}  // namespace korvanta::otlp
