#include "control/ControlChannel.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/socket.h>

namespace osprel {

namespace {

// close_notify is a courtesy: a client that does not take it is not waited for.
constexpr auto kFinishWait = std::chrono::seconds(1);

}  // namespace

ControlChannel::ControlChannel(int fd) : fd_(fd), readEvents_(POLLIN) {}

void ControlChannel::setSendTimeout(int seconds) {
    sendTimeoutSeconds_ = seconds;
    // Plain sends block; TLS sends wait in the stream with the same limit.
    timeval sendTimeout{seconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
}

void ControlChannel::startTls(std::unique_ptr<TlsStream> stream) {
    tls_ = std::move(stream);
    start_ = end_ = 0;
    assembler_ = LineAssembler();
    readEvents_ = POLLIN;
}

void ControlChannel::finish() {
    if (tls_ != nullptr && !broken_) tls_->close(Clock::now() + kFinishWait);
}

bool ControlChannel::sendBytes(const char *data, size_t size) {
    if (tls_ != nullptr) {
        auto deadline = Clock::now() + std::chrono::seconds(sendTimeoutSeconds_);
        return tls_->writeAll(data, size, deadline) == TlsResult::kOk;
    }
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = send(fd_, data + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // Failed, or the send time-out ran out: the client stopped reading.
            return false;
        }
    }
    return true;
}

bool ControlChannel::sendText(const std::string &text) {
    if (!broken_ && !sendBytes(text.data(), text.size())) broken_ = true;
    return !broken_;
}

void ControlChannel::sendNow(const char *data, size_t size) noexcept {
    if (broken_) return;
    if (tls_ != nullptr) {
        tls_->writeAll(data, size, Clock::now());
        return;
    }
    ssize_t ignored = send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
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
        ssize_t n = receive();
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::kNothing;
        if (n <= 0) return Read::kClosed;
        start_ = 0;
        end_ = static_cast<size_t>(n);
        received = true;
    }
}

// As recv: bytes, 0 at the end, or -1 with errno (EAGAIN: nothing yet).
ssize_t ControlChannel::receive() {
    if (tls_ == nullptr) {
        return recv(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT);
    }
    size_t got = 0;
    switch (tls_->tryRead(buffer_, sizeof buffer_, &got)) {
    case TlsResult::kOk:
        readEvents_ = POLLIN;
        return static_cast<ssize_t>(got);
    case TlsResult::kWouldBlock:
        readEvents_ = tls_->wantedEvents();
        errno = EAGAIN;
        return -1;
    case TlsResult::kClosed:
        return 0;
    default:
        errno = ECONNRESET;
        return -1;
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
