// Wildcards of NLST's last path component, matched against the names of one
// directory.  Nothing here touches the file system: a pattern is never a
// path, so it cannot lead into another directory.
#pragma once

#include <stddef.h>

#include <string_view>

namespace osprel {

// Patterns longer than a file name can be are not taken as patterns.
constexpr size_t kMaxWildcardPattern = 255;

// Whether text holds '*', '?' or '['.
bool hasWildcard(std::string_view text);

// '*' matches any run of bytes, '?' one byte, "[...]" one byte of a set
// ("[!...]" or "[^...]" outside it, "a-z" a range, a ']' first is itself);
// '\' takes the next byte as it is.  A '[' without its ']' is a plain byte.
// A name starting with '.' needs a pattern starting with '.'.  Takes time
// proportional to |pattern| x |name| at most, and no memory.
bool matchesWildcard(std::string_view pattern, std::string_view name);

}  // namespace osprel
