#include "ControlChannel.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/socket.h>

namespace osprel {

ControlChannel::ControlChannel(int fd) : fd_(fd) {}

bool ControlChannel::sendText(const std::string &text) {
    size_t sent = 0;
    while (!broken_ && sent < text.size()) {
        ssize_t n = send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The socket's send time-out ran out: the client stopped reading.
            broken_ = true;
        } else {
            broken_ = true;
        }
    }
    return !broken_;
}

bool ControlChannel::reply(int code, const std::string &text) {
    return sendText(std::to_string(code) + ' ' + oneLine(text) + "\r\n");
}

bool ControlChannel::replyf(int code, const char *format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return reply(code, text);
}

bool ControlChannel::replyLines(int code, const std::string &first, const std::vector<std::string> &middle,
                                const std::string &last) {
    std::string codeText = std::to_string(code);
    std::string text = codeText + '-' + oneLine(first) + "\r\n";
    for (const std::string &line : middle) text += oneLine(line) + "\r\n";
    text += codeText + ' ' + oneLine(last) + "\r\n";
    return sendText(text);
}

ControlChannel::Read ControlChannel::readLine(std::string *line) {
    bool received = false;
    for (;;) {
        while (start_ < end_) {
            LineAssembler::Event event;
            start_ += assembler_.consume(buffer_ + start_, end_ - start_, &event);
            if (event == LineAssembler::Event::kLine) {
                *line = assembler_.line();
                return Read::kLine;
            }
            if (event == LineAssembler::Event::kTooLong) return Read::kTooLong;
        }
        // One receive per call keeps a flood of bytes from starving a transfer.
        if (received) return Read::kNothing;
        ssize_t n = recv(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::kNothing;
        if (n <= 0) return Read::kClosed;
        start_ = 0;
        end_ = static_cast<size_t>(n);
        received = true;
    }
}

std::string oneLine(const std::string &text) {
    size_t end = text.find_first_of("\r\n");
    return end == std::string::npos ? text : text.substr(0, end);
}

std::string quotedPath(const std::string &path) {
    std::string quoted = "\"";
    for (char c : oneLine(path)) {
        quoted += c;
        if (c == '"') quoted += '"';
    }
    return quoted + "\"";
}

}  // namespace osprel
