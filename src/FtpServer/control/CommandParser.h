// Control-connection parsing: bytes to bounded command lines, lines to a verb
// and its argument.  Nothing here does I/O, so all of it can be fuzzed.
#pragma once

#include <stddef.h>

#include <string>
#include <string_view>

namespace osprel {

// Assembles the bytes of the control connection into command lines.  A line
// ends at LF; one CR before it is dropped.  Telnet commands (IAC ...) are
// removed, IAC IAC stands for the byte 0xFF.  A line longer than kMaxLine
// bytes is never held whole: past the limit its bytes are dropped up to its
// LF and the line is reported as too long.
class LineAssembler {
public:
    static constexpr size_t kMaxLine = 4096;

    enum class Event { kNone, kLine, kTooLong };

    LineAssembler();

    // Consumes bytes from data up to and including the end of at most one
    // line.  Returns how many bytes it consumed and sets *event; after kLine
    // the line is in line() until the next call.
    size_t consume(const char *data, size_t size, Event *event);

    const std::string &line() const { return line_; }

    // True while part of a line has been consumed.
    bool midLine() const { return !line_.empty() || discarding_ || telnet_ != TelnetState::kData; }

private:
    enum class TelnetState { kData, kCommand, kOption };

    bool takeByte(unsigned char byte, Event *event);
    void appendByte(unsigned char byte);
    Event finishLine();

    std::string line_;
    bool lineDone_ = false;
    bool discarding_ = false;
    TelnetState telnet_ = TelnetState::kData;
};

struct Command {
    std::string verb;      // upper case, letters only
    std::string argument;  // the rest of the line after the first space, unchanged
    bool hasArgument = false;
};

// Splits a command line into its verb and argument.  Returns false for a line
// that is no command: an empty or over-long verb, a verb with anything but
// letters, or a NUL byte anywhere.
bool splitCommand(std::string_view line, Command *command);

}  // namespace osprel
