// The control connection: command lines in (through the LineAssembler), replies
// out.  Replies are written whole, with MSG_NOSIGNAL, one send per reply.
#pragma once

#include <string>
#include <vector>

#include "CommandParser.h"

namespace osprel {

class ControlChannel {
public:
    explicit ControlChannel(int fd);

    int fd() const { return fd_; }

    // "code text\r\n".  Returns false once the connection is gone.
    bool reply(int code, const std::string &text);
    bool replyf(int code, const char *format, ...) __attribute__((format(printf, 3, 4)));

    // "code-first\r\n", then each middle line as given (each should begin
    // with a space), then "code last\r\n".
    bool replyLines(int code, const std::string &first, const std::vector<std::string> &middle,
                    const std::string &last);

    // Text already made of whole reply lines, sent as it is.
    bool sendText(const std::string &text);

    bool broken() const { return broken_; }

    enum class Read { kNothing, kLine, kTooLong, kClosed };

    // Never blocks: assembles buffered bytes, and receives once when they
    // run out.  kNothing means no complete line yet.
    Read readLine(std::string *line);

    // Whether bytes already received wait to be assembled.
    bool hasBuffered() const { return start_ < end_; }

private:

    int fd_;
    bool broken_ = false;
    LineAssembler assembler_;
    char buffer_[4096];
    size_t start_ = 0;
    size_t end_ = 0;
};

// Ends a reply text at its first CR or LF, so no text from a client or a file
// name can start a reply line of its own.
std::string oneLine(const std::string &text);

// A path for a 257 reply: in double quotes, inner quotes doubled.
std::string quotedPath(const std::string &path);

}  // namespace osprel
