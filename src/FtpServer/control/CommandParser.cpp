#include "control/CommandParser.h"

namespace osprel {

namespace {

constexpr unsigned char kIac = 255;
constexpr unsigned char kWill = 251;
constexpr unsigned char kDont = 254;
constexpr size_t kMaxVerb = 4;

}  // namespace

LineAssembler::LineAssembler() {
    // One CR may sit beyond the limit until its LF shows it was the line end.
    line_.reserve(kMaxLine + 1);
}

size_t LineAssembler::consume(const char *data, size_t size, Event *event) {
    *event = Event::kNone;
    if (lineDone_) {
        line_.clear();
        lineDone_ = false;
    }
    for (size_t used = 0; used < size;) {
        if (takeByte(static_cast<unsigned char>(data[used++]), event)) return used;
    }
    return size;
}

// Returns true when the byte completed a line (event set).
bool LineAssembler::takeByte(unsigned char byte, Event *event) {
    switch (telnet_) {
    case TelnetState::kCommand:
        if (byte == kIac) {
            telnet_ = TelnetState::kData;
            appendByte(byte);
        } else if (byte == '\n' || byte == '\r') {
            // No Telnet command: a stray IAC must not swallow the line end.
            telnet_ = TelnetState::kData;
            return takeByte(byte, event);
        } else {
            // WILL, WONT, DO and DONT carry one option byte; IP, DM and the
            // rest stand alone.
            telnet_ = (byte >= kWill && byte <= kDont) ? TelnetState::kOption : TelnetState::kData;
        }
        return false;
    case TelnetState::kOption:
        telnet_ = TelnetState::kData;
        return false;
    case TelnetState::kData:
        break;
    }
    if (byte == kIac) {
        telnet_ = TelnetState::kCommand;
        return false;
    }
    if (byte == '\n') {
        *event = finishLine();
        return true;
    }
    appendByte(byte);
    return false;
}

void LineAssembler::appendByte(unsigned char byte) {
    if (discarding_) return;
    if (line_.size() > kMaxLine) {
        // kMaxLine bytes and one more that was not a line end's CR.
        discarding_ = true;
        line_.clear();
        return;
    }
    line_.push_back(static_cast<char>(byte));
}

LineAssembler::Event LineAssembler::finishLine() {
    lineDone_ = true;
    if (discarding_) {
        discarding_ = false;
        line_.clear();
        return Event::kTooLong;
    }
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (line_.size() > kMaxLine) {
        line_.clear();
        return Event::kTooLong;
    }
    return Event::kLine;
}

bool splitCommand(std::string_view line, Command *command) {
    if (line.find('\0') != std::string_view::npos) return false;
    size_t space = line.find(' ');
    std::string_view verb = line.substr(0, space);
    if (verb.empty() || verb.size() > kMaxVerb) return false;
    command->verb.clear();
    for (char c : verb) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c < 'A' || c > 'Z') return false;
        command->verb.push_back(c);
    }
    command->hasArgument = space != std::string_view::npos;
    command->argument = command->hasArgument ? std::string(line.substr(space + 1)) : std::string();
    return true;
}

}  // namespace osprel
