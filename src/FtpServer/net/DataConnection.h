// Data connections: the shared passive port range, and one session's passive
// listener or active target.  Waiting is left to the session, which watches
// the control connection at the same time.
#pragma once

#include <array>
#include <atomic>

#include "base/Clock.h"
#include "net/NetAddress.h"

namespace osprel {

// The passive range, shared by every session.  The kernel decides which ports
// are free; a cursor spreads sessions over the range so a port just closed is
// not handed out again at once.  A range of no ports leaves each choice to
// the kernel.
class PassivePortRange {
public:
    PassivePortRange(int firstPort, int count);

    // Opens a non-blocking listener on host's address at a free port of the
    // range and sets *port.  Returns the descriptor, or -1 with errno set
    // (EADDRINUSE when every port of the range is taken).
    int listenOnFreePort(const SocketAddress &host, int *port);

    int firstPort() const { return firstPort_; }
    int count() const { return count_; }

private:
    int firstPort_;
    int count_;
    std::atomic<unsigned> cursor_{0};
};

class DataChannel {
public:
    DataChannel() = default;
    ~DataChannel();
    DataChannel(const DataChannel &) = delete;
    DataChannel &operator=(const DataChannel &) = delete;

    // Drops any listener, connection and active target.
    void reset();

    // Replaces the set-up with a passive listener from the range.
    bool listenPassive(PassivePortRange &range, const SocketAddress &host, Clock::time_point deadline, int *port);

    // Replaces the set-up with an active target (already checked).
    void setActiveTarget(const SocketAddress &target, const SocketAddress &localHost);

    bool isSetUp() const {
        return listenFd_ >= 0 || connectedFd_ >= 0 || candidateCount_ > 0 || hasActiveTarget_;
    }

    bool isActive() const { return hasActiveTarget_; }

    // The passive listener, to be watched while waiting, or -1.
    int listenerFd() const { return listenFd_; }
    Clock::time_point passiveDeadline() const { return passiveDeadline_; }
    // At the passive deadline: no more connections, but those already
    // accepted stay for the transfer command.
    void stopListening() { closeListener(); }

    // Accepts a waiting connection from the listener.  Only one from
    // `expectedPeer`'s host is kept (and the listener then closed); any other
    // is dropped while the listener stays open.  Returns true once connected.
    bool acceptFrom(const SocketAddress &expectedPeer);

    // For protected data connections, where the first to connect from the
    // client's host may be a thief on that host: accepts every waiting
    // connection from it as a candidate, up to kMaxCandidates (the oldest
    // dropped first), and keeps listening.  The TLS handshakes decide.
    static constexpr size_t kMaxCandidates = 8;
    void acceptCandidates(const SocketAddress &expectedPeer);
    // The oldest candidate, now the caller's, or -1.
    int takeCandidate();

    // The connected data socket, or -1; the channel keeps ownership until
    // takeConnected() hands it over.
    int connectedFd() const { return connectedFd_; }
    int takeConnected();

    // Starts a non-blocking connect to the active target.  Returns the
    // socket, or -1 with errno set; completion is seen as POLLOUT.
    int startActiveConnect();

private:
    void closeListener();
    void dropOldestCandidate();

    int listenFd_ = -1;
    int connectedFd_ = -1;
    std::array<int, kMaxCandidates> candidates_{};  // oldest first
    size_t candidateCount_ = 0;
    Clock::time_point passiveDeadline_{};
    bool hasActiveTarget_ = false;
    SocketAddress activeTarget_;
    SocketAddress activeLocal_;
};

// Finishes a non-blocking connect: true when it succeeded (errno set if not).
bool connectSucceeded(int fd);

void closeDescriptor(int fd);

// Closes a connection with a reset instead of an orderly end, so the peer
// sees an error rather than a clean end of file.
void resetConnection(int fd);

// Owns a descriptor (or -errno / -1 for none) and closes it at the end of
// its scope.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { closeDescriptor(fd_); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        closeDescriptor(fd_);
        fd_ = fd;
    }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

}  // namespace osprel
