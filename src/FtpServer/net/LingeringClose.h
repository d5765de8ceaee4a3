// The last words on a connection.  After the reply that ends it (a 421, a
// 221) the sending side is shut down and what the client still sends is
// read and dropped, for a short while at most, until the client closes its
// side; only then is the socket closed.  Closed at once, a socket with
// unread input answers with a reset, which can destroy the reply before the
// client has read it.
#pragma once

#include <stddef.h>

#include "base/Clock.h"

namespace osprel {

class LingeringClose {
public:
    static constexpr auto kTime = std::chrono::seconds(1);
    static constexpr size_t kBytes = size_t{64} << 10;

    // Shuts down fd's sending side; fd stays the caller's to close.
    explicit LingeringClose(int fd);

    int fd() const { return fd_; }
    Clock::time_point deadline() const { return deadline_; }
    // Reads and drops what has arrived, without waiting.  True once there
    // is nothing more to wait for: the client closed its side, the bytes
    // allowed are read, or the connection failed.
    bool drained();
    // Waits on the calling thread until drained() or the deadline.
    void waitDrained();

private:
    int fd_;
    Clock::time_point deadline_;
    size_t left_ = kBytes;
};

}  // namespace osprel
