#include "session/ControlWatch.h"

#include "control/CommandParser.h"

namespace osprel {

TransferControl::Heard ControlWatch::listen(long long moved) {
    while (!full()) {
        std::string line;
        ControlChannel::Read read = control_.readLine(&line);
        // Decrypted bytes left over do not show in poll: read them now.
        if (read == ControlChannel::Read::kNothing && control_.hasBuffered()) continue;
        if (read == ControlChannel::Read::kNothing) break;
        if (read == ControlChannel::Read::kClosed) return Heard::kLost;
        Command command;
        bool parsed = read == ControlChannel::Read::kLine && splitCommand(line, &command);
        if (parsed && command.verb == "ABOR") return Heard::kAbort;
        if (parsed && command.verb == "STAT" && command.argument.empty()) {
            control_.replyf(213, "Status: %lld bytes transferred.", moved);
            continue;
        }
        waiting_.push_back({read == ControlChannel::Read::kTooLong, std::move(line)});
    }
    return control_.broken() ? Heard::kLost : Heard::kNothing;
}

bool ControlWatch::takeWaiting(std::string *line, bool *tooLong) {
    if (waiting_.empty()) return false;
    *tooLong = waiting_.front().tooLong;
    *line = std::move(waiting_.front().text);
    waiting_.pop_front();
    return true;
}

}  // namespace osprel
