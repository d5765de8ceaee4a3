// libFuzzer target: control-connection bytes through the line assembler,
// fed in pieces whose sizes the input chooses, and each line through the
// verb/argument split and, cut at its first blank into a pattern and a name,
// through NLST's wildcard matching (which must stay fast on any pattern).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "control/CommandParser.h"
#include "files/Wildcard.h"

namespace {

void require(bool condition) {
    if (!condition) abort();
}

void checkCommand(const std::string &line) {
    osprel::Command command;
    if (!osprel::splitCommand(line, &command)) return;
    require(!command.verb.empty() && command.verb.size() <= 4);
    for (char c : command.verb) require(c >= 'A' && c <= 'Z');
    require(command.argument.size() < line.size());
    require(line.find('\0') == std::string::npos);
}

void checkWildcard(const std::string &line) {
    size_t blank = line.find(' ');
    if (blank == std::string::npos) return;
    std::string pattern = line.substr(0, std::min(blank, osprel::kMaxWildcardPattern));
    std::string name = line.substr(blank + 1, 255);
    bool matches = osprel::matchesWildcard(pattern, name);
    if (pattern == name && !osprel::hasWildcard(pattern) && pattern.find('\\') == std::string::npos)
        require(matches);
    if (pattern == "*") require(matches == (name.empty() || name[0] != '.'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the piece size, as reads of any size may come.
    size_t piece = static_cast<size_t>(data[0]) % 64 + 1;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    size_t left = size - 1;
    osprel::LineAssembler assembler;
    size_t lineEnds = 0;
    size_t events = 0;
    for (size_t i = 0; i < left; ++i)
        if (bytes[i] == '\n') ++lineEnds;
    while (left > 0) {
        size_t chunk = piece < left ? piece : left;
        size_t used = 0;
        while (used < chunk) {
            osprel::LineAssembler::Event event;
            size_t n = assembler.consume(bytes + used, chunk - used, &event);
            require(n > 0 && n <= chunk - used);
            used += n;
            require(assembler.line().capacity() <= 2 * osprel::LineAssembler::kMaxLine + 64);
            if (event == osprel::LineAssembler::Event::kNone) continue;
            ++events;
            if (event == osprel::LineAssembler::Event::kLine) {
                require(assembler.line().size() <= osprel::LineAssembler::kMaxLine);
                require(assembler.line().find('\n') == std::string::npos);
                checkCommand(assembler.line());
                checkWildcard(assembler.line());
            }
        }
        bytes += chunk;
        left -= chunk;
    }
    // Telnet option bytes may swallow an LF; no line end may appear from nowhere.
    require(events <= lineEnds);
    return 0;
}
