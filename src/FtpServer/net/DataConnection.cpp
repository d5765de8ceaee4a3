#include "net/DataConnection.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace osprel {

namespace {

// Backlog room for a foreign connection or two besides the client's own.
constexpr int kPassiveBacklog = 4;

int openListener(const SocketAddress &host, int port) {
    int fd = socket(host.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    SocketAddress address = host;
    address.setPort(port);
    if (bind(fd, address.raw(), address.length) != 0 || listen(fd, kPassiveBacklog) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

void closeDescriptor(int fd) {
    if (fd >= 0) close(fd);
}

void resetConnection(int fd) {
    linger abortive{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(fd);
}

PassivePortRange::PassivePortRange(int firstPort, int count) : firstPort_(firstPort), count_(count) {}

int PassivePortRange::listenOnFreePort(const SocketAddress &host, int *port) {
    if (count_ == 0) {
        int fd = openListener(host, 0);
        if (fd >= 0) *port = localAddressOf(fd).port();
        return fd;
    }
    unsigned start = cursor_.fetch_add(1, std::memory_order_relaxed);
    for (int i = 0; i < count_; ++i) {
        int candidate = firstPort_ + static_cast<int>((start + static_cast<unsigned>(i)) % static_cast<unsigned>(count_));
        int fd = openListener(host, candidate);
        if (fd >= 0) {
            *port = candidate;
            return fd;
        }
        if (errno != EADDRINUSE) return -1;
    }
    errno = EADDRINUSE;
    return -1;
}

DataChannel::~DataChannel() { reset(); }

void DataChannel::reset() {
    closeListener();
    closeDescriptor(connectedFd_);
    connectedFd_ = -1;
    while (candidateCount_ > 0) dropOldestCandidate();
    hasActiveTarget_ = false;
}

void DataChannel::closeListener() {
    closeDescriptor(listenFd_);
    listenFd_ = -1;
}

bool DataChannel::listenPassive(PassivePortRange &range, const SocketAddress &host, Clock::time_point deadline,
                                int *port) {
    reset();
    listenFd_ = range.listenOnFreePort(host, port);
    passiveDeadline_ = deadline;
    return listenFd_ >= 0;
}

void DataChannel::setActiveTarget(const SocketAddress &target, const SocketAddress &localHost) {
    reset();
    hasActiveTarget_ = true;
    activeTarget_ = target;
    activeLocal_ = localHost;
    activeLocal_.setPort(0);
}

bool DataChannel::acceptFrom(const SocketAddress &expectedPeer) {
    while (listenFd_ >= 0 && connectedFd_ < 0) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return false;
        }
        if (sameHost(peerAddressOf(fd), expectedPeer)) {
            connectedFd_ = fd;
            closeListener();
            return true;
        }
        // A connection from any other host could be a thief's: drop it.
        close(fd);
    }
    return connectedFd_ >= 0;
}

void DataChannel::acceptCandidates(const SocketAddress &expectedPeer) {
    while (listenFd_ >= 0) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        if (!sameHost(peerAddressOf(fd), expectedPeer)) {
            close(fd);
            continue;
        }
        if (candidateCount_ == kMaxCandidates) dropOldestCandidate();
        candidates_[candidateCount_++] = fd;
    }
}

int DataChannel::takeCandidate() {
    if (candidateCount_ == 0) return -1;
    int fd = candidates_[0];
    std::move(candidates_.begin() + 1, candidates_.begin() + candidateCount_, candidates_.begin());
    --candidateCount_;
    return fd;
}

void DataChannel::dropOldestCandidate() { resetConnection(takeCandidate()); }

int DataChannel::takeConnected() {
    int fd = connectedFd_;
    connectedFd_ = -1;
    return fd;
}

int DataChannel::startActiveConnect() {
    if (!hasActiveTarget_) {
        errno = ENOTCONN;
        return -1;
    }
    int fd = socket(activeTarget_.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Leave from the address the client talks to, so its firewall sees us.
    if (activeLocal_.family() == activeTarget_.family()) bind(fd, activeLocal_.raw(), activeLocal_.length);
    if (connect(fd, activeTarget_.raw(), activeTarget_.length) != 0 && errno != EINPROGRESS) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool connectSucceeded(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
    errno = error;
    return error == 0;
}

}  // namespace osprel
