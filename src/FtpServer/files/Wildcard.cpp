#include "files/Wildcard.h"

namespace osprel {

namespace {

// Matches the set starting at pattern[open] == '[' against byte; sets *end
// to the position after its ']'.  False with *end = 0 when the set is
// unterminated.
bool inSet(std::string_view pattern, size_t open, unsigned char byte, size_t *end) {
    size_t i = open + 1;
    bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
    if (negated) ++i;
    bool found = false;
    for (size_t first = i; i < pattern.size(); ++i) {
        if (pattern[i] == ']' && i > first) {
            *end = i + 1;
            return found != negated;
        }
        auto low = static_cast<unsigned char>(pattern[i]);
        auto high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            high = static_cast<unsigned char>(pattern[i + 2]);
            i += 2;
        }
        if (byte >= low && byte <= high) found = true;
    }
    *end = 0;
    return false;
}

// Whether the one-byte token at pattern[p] (not '*') matches byte; sets
// *next to the position after it.
bool tokenMatches(std::string_view pattern, size_t p, char byte, size_t *next) {
    char token = pattern[p];
    if (token == '?') {
        *next = p + 1;
        return true;
    }
    if (token == '[') {
        size_t end = 0;
        bool matched = inSet(pattern, p, static_cast<unsigned char>(byte), &end);
        if (end != 0) {
            *next = end;
            return matched;
        }
    }
    if (token == '\\' && p + 1 < pattern.size()) ++p;
    *next = p + 1;
    return pattern[p] == byte;
}

}  // namespace

bool hasWildcard(std::string_view text) { return text.find_first_of("*?[") != std::string_view::npos; }

// Every token but '*' takes exactly one byte, so on a mismatch only the
// last '*' needs to take one byte more: no deeper backtracking is needed.
bool matchesWildcard(std::string_view pattern, std::string_view name) {
    if (!name.empty() && name[0] == '.' && (pattern.empty() || pattern[0] != '.')) return false;
    size_t p = 0;
    size_t n = 0;
    size_t starPattern = std::string_view::npos;
    size_t starName = 0;
    while (n < name.size()) {
        size_t next = 0;
        if (p < pattern.size() && pattern[p] == '*') {
            starPattern = ++p;
            starName = n;
        } else if (p < pattern.size() && tokenMatches(pattern, p, name[n], &next)) {
            p = next;
            ++n;
        } else if (starPattern != std::string_view::npos) {
            p = starPattern;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace osprel
