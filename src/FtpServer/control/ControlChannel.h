// The control connection: command lines in (through the LineAssembler), replies
// out, in clear or, after AUTH TLS, over TLS.  Replies are written whole,
// with MSG_NOSIGNAL, one send per reply.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "control/CommandParser.h"
#include "tls/TlsStream.h"

namespace osprel {

class ControlChannel {
public:
    explicit ControlChannel(int fd);

    int fd() const { return fd_; }

    // A reply the client does not take within this time breaks the channel.
    void setSendTimeout(int seconds);

    // From now on both directions go through stream, whose handshake is the
    // caller's.  Bytes received in clear and not yet read as a command are
    // dropped, so nothing sent before the handshake can pass for a command
    // sent over TLS.
    void startTls(std::unique_ptr<TlsStream> stream);
    TlsStream *tls() const { return tls_.get(); }

    // Sends close_notify on a TLS channel that is not broken, waiting
    // briefly at most.
    void finish();

    // Sends data without waiting, allocating nothing: the last word of a
    // session ended by a fault.
    void sendNow(const char *data, size_t size) noexcept;

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
    void markBroken() { broken_ = true; }

    enum class Read { kNothing, kLine, kTooLong, kClosed };

    // Never blocks: assembles buffered bytes, and receives once when they
    // run out.  kNothing means no complete line yet.
    Read readLine(std::string *line);

    // Whether bytes already received wait to be assembled (over TLS also
    // decrypted bytes, which polling the socket does not show).
    bool hasBuffered() const { return start_ < end_ || (tls_ != nullptr && tls_->hasPending()); }

    // What to poll the socket for before the next readLine.
    short readEvents() const { return readEvents_; }

private:
    bool sendBytes(const char *data, size_t size);
    ssize_t receive();

    int fd_;
    int sendTimeoutSeconds_ = 300;
    std::unique_ptr<TlsStream> tls_;
    short readEvents_;
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
