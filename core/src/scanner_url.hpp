// URL pieces the scanner looks at: the authority of a URL (userinfo, host,
// port) and what kind of host it names (a cloud metadata endpoint, a
// private or loopback address, or anything else).
#pragma once

#include <cstddef>
#include <string_view>

#include "scanner_scan.hpp"

namespace korvanta::scanner_detail {

struct Authority {
  std::size_t begin = 0;  // first byte after "//" (or of a URL without scheme)
  std::size_t end = 0;    // the '/', '?', '#' or other byte that ends it
  std::size_t at = std::string_view::npos;  // the '@' ending the userinfo, if any
  std::size_t host_begin = 0;
  std::size_t host_end = 0;  // without port; an IPv6 host keeps its brackets
};

// The authority starting at `from`, at most 512 bytes.
Authority parse_authority(Scan& s, std::size_t from);

enum class HostKind { Other, Metadata, Private };

// Classifies a host as written in a URL (any case, optional trailing dot,
// IPv6 in brackets, IPv4 in any inet_aton form).
HostKind classify_host(std::string_view host);

}  // namespace korvanta::scanner_detail
