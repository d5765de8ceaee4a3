// The server's side of a TLS connection over a connected socket, for the
// control connection or a data connection.  Nothing blocks without a
// deadline: the socket is non-blocking and every wait goes through a waiter,
// by default poll on the socket alone; a session passes one that also
// watches its control connection.  Failures come back as values; writes use
// MSG_NOSIGNAL, so a vanished peer never raises SIGPIPE.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>

#include "base/Clock.h"

struct ssl_st;

namespace osprel {

class TlsContext;
class TlsSessionBinding;

enum class TlsResult {
    kOk,
    kWouldBlock,  // from the try* calls: wait for wantedEvents(), call again
    kClosed,      // the peer ended the stream orderly (close_notify)
    kCut,         // the connection ended without close_notify: data may be missing
    kTimedOut,
    kStopped,     // the waiter said stop
    kFailed,      // a TLS or network error; the stream is unusable
};

enum class TlsWait { kReady, kTimedOut, kStopped };
using TlsWaiter = std::function<TlsWait(int fd, short events, Clock::time_point deadline)>;

// Polls fd alone until it has one of events or the deadline passes.
TlsWait waitForSocket(int fd, short events, Clock::time_point deadline);

class TlsStream {
public:
    enum class Role { kControl, kData };

    // Server side of the connected socket fd, which stays the caller's to
    // close and is made non-blocking.  binding must outlive the stream.
    // Returns null when memory or the library fails; nothing here throws.
    static std::unique_ptr<TlsStream> open(const TlsContext &context, int fd, TlsSessionBinding &binding, Role role);

    ~TlsStream();
    TlsStream(const TlsStream &) = delete;
    TlsStream &operator=(const TlsStream &) = delete;

    int fd() const { return fd_; }

    TlsResult handshake(Clock::time_point deadline, const TlsWaiter &wait = waitForSocket);
    // One step of the handshake, without waiting: kWouldBlock until it is done.
    TlsResult tryHandshake();

    // Reads what is there (kOk with *got > 0), without waiting.
    TlsResult tryRead(void *buffer, size_t size, size_t *got);
    // Waits for at least one byte.
    TlsResult read(void *buffer, size_t size, size_t *got, Clock::time_point deadline,
                   const TlsWaiter &wait = waitForSocket);
    TlsResult writeAll(const void *data, size_t size, Clock::time_point deadline,
                       const TlsWaiter &wait = waitForSocket);

    // Sends up to count bytes of fileFd from *offset (one buffer's worth at
    // most) and advances *offset; *sent is 0 at the file's end.
    TlsResult sendFile(int fileFd, off_t *offset, size_t count, size_t *sent, Clock::time_point deadline,
                       const TlsWaiter &wait = waitForSocket);

    // Sends close_notify, without waiting for the peer's.
    TlsResult close(Clock::time_point deadline, const TlsWaiter &wait = waitForSocket);
    // No close_notify, and the owner's close() of the socket resets it: the
    // peer sees an error, never a clean end.
    void abort();

    // The events to wait for after kWouldBlock.
    short wantedEvents() const { return wanted_; }
    // Decrypted bytes that tryRead would return at once, which polling the
    // socket does not show.  (Whole records received ahead are read by the
    // next tryRead too: only its kWouldBlock means "poll".)
    bool hasPending() const;

    const ssl_st *handle() const { return ssl_; }

private:
    TlsStream(ssl_st *ssl, int fd, TlsSessionBinding &binding);
    TlsResult resultOf(int returned);
    template <typename Step>
    TlsResult until(Step step, Clock::time_point deadline, const TlsWaiter &wait);

    ssl_st *ssl_;
    int fd_;
    TlsSessionBinding &binding_;
    short wanted_ = 0;
    bool failed_ = false;
    std::unique_ptr<char[]> fileBuffer_;  // allocated by the first sendFile
};

}  // namespace osprel
