// The bytes of a transfer: a file out with sendfile (or through the TLS
// stream), an upload in with splice (or through the TLS stream), a text out.
// Between pieces the control connection is looked at, so ABOR is heard even
// when the client takes or sends data as fast as it comes.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "transfer/Transfer.h"
#include "transfer/UploadSink.h"

namespace osprel {

namespace {

// A blocking sendfile call is sized to last about kSendfileSlice at the rate
// the client has been taking data, so the control connection is looked at
// that often, while a fast client gets big calls with few wake-ups.  (One
// call moves at most about 2 GiB anyway.)
constexpr size_t kFirstSendfileChunk = size_t{4} << 20;
constexpr size_t kMinSendfileChunk = size_t{1} << 20;
constexpr size_t kMaxSendfileChunk = size_t{256} << 20;
constexpr auto kSendfileSlice = std::chrono::milliseconds(100);
constexpr size_t kSpliceChunk = size_t{1} << 20;
constexpr size_t kCopyBuffer = size_t{256} << 10;

// Why a write to the upload's file failed; never kDone, even should errno
// say nothing.
TransferOutcome writeFailure() {
    TransferOutcome outcome = storageFailure(errno);
    return outcome == TransferOutcome::kDone ? TransferOutcome::kLocalFailed : outcome;
}

bool isNetworkError(int error) {
    switch (error) {
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ETIMEDOUT:
    case ECONNABORTED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
        return true;
    default:
        return false;
    }
}

// SIGPIPE is blocked in the server's threads; a send on a closed socket
// leaves it pending.  Take it away so it never reaches the host.
void discardPendingSigpipe() {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pending;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        timespec now{0, 0};
        sigtimedwait(&pipeOnly, nullptr, &now);
    }
}

size_t nextSendfileChunk(ssize_t sent, Clock::duration took) {
    auto nanoseconds = std::max<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count(), 1);
    long double perSlice = static_cast<long double>(sent) * std::chrono::nanoseconds(kSendfileSlice).count() /
                           static_cast<long double>(nanoseconds);
    return static_cast<size_t>(std::clamp<long double>(perSlice, kMinSendfileChunk, kMaxSendfileChunk));
}

// Data sockets block for a slice of time at most: the kernel moves data
// without waking the session for each buffer's worth, and between slices
// the session looks at its control connection.
void blockInSlices(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    timeval slice{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
}

bool writeAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Moves `size` bytes from the pipe into the file.  A file system that
// refuses splice gets them copied, and *splicing turns off for the rest.
bool drainPipe(int pipeFd, int fileFd, size_t size, bool *splicing) {
    while (size > 0 && *splicing) {
        ssize_t n = splice(pipeFd, nullptr, fileFd, nullptr, size, SPLICE_F_MOVE);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
            *splicing = false;
            break;
        }
        if (n <= 0) return false;
        size -= static_cast<size_t>(n);
    }
    char buffer[64 << 10];
    while (size > 0) {
        ssize_t n = read(pipeFd, buffer, std::min(size, sizeof buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !writeAll(fileFd, buffer, static_cast<size_t>(n))) return false;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

TransferOutcome Transfer::sendText(DataLink &link, const std::string &text) {
    for (size_t sent = 0; sent < text.size();) {
        Wait stopped = Wait::kReady;
        size_t piece = allowed(text.size() - sent, &stopped);
        if (piece == 0) return outcomeOf(stopped);
        TransferOutcome outcome = TransferOutcome::kDone;
        if (link.tls != nullptr)
            outcome = outcomeOf(link.tls->writeAll(text.data() + sent, piece, stallDeadline(), waiter(&stopped)), stopped);
        else
            outcome = sendSome(link.fd.get(), text.data() + sent, &piece);
        if (outcome != TransferOutcome::kDone) return outcome;
        counted(piece);
        sent += piece;
    }
    return TransferOutcome::kDone;
}

// Sends at least a byte of the *size at data, waiting while the socket is
// full; *size becomes what went.
TransferOutcome Transfer::sendSome(int dataFd, const char *data, size_t *size) {
    for (;;) {
        ssize_t n = send(dataFd, data, *size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            *size = static_cast<size_t>(n);
            return TransferOutcome::kDone;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return TransferOutcome::kNetworkFailed;
        Wait wait = waitFor(dataFd, POLLOUT, stallDeadline());
        if (wait != Wait::kReady) return outcomeOf(wait);
    }
}

TransferOutcome Transfer::sendFile(DataLink &link, int fileFd, off_t offset) {
    if (link.tls != nullptr) return sendFileTls(*link.tls, fileFd, offset);
    int dataFd = link.fd.get();
    blockInSlices(dataFd);
    size_t chunk = kFirstSendfileChunk;
    for (;;) {
        if (Wait wait = controlNow(); wait != Wait::kReady) return outcomeOf(wait);
        Wait stopped = Wait::kReady;
        size_t piece = allowed(chunk, &stopped);
        if (piece == 0) return outcomeOf(stopped);
        Clock::time_point started = Clock::now();
        ssize_t n = sendfile(dataFd, fileFd, &offset, piece);
        if (n > 0) {
            counted(static_cast<size_t>(n));
            chunk = nextSendfileChunk(n, Clock::now() - started);
            continue;
        }
        if (n == 0) return TransferOutcome::kDone;
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            if (Clock::now() >= stallDeadline()) return TransferOutcome::kTimedOut;
            continue;
        }
        if (isNetworkError(errno)) {
            discardPendingSigpipe();
            return TransferOutcome::kNetworkFailed;
        }
        return TransferOutcome::kLocalFailed;
    }
}

// Uploads go socket -> pipe -> file with splice, so the data never passes
// through the session's memory; where a file system refuses splice the
// data is copied instead.
TransferOutcome Transfer::receiveFile(DataLink &link, UploadSink &sink) {
    if (link.tls != nullptr) return receiveFileTls(*link.tls, sink);
    int dataFd = link.fd.get();
    blockInSlices(dataFd);
    int pipeFds[2] = {-1, -1};
    bool splicing = pipe2(pipeFds, O_CLOEXEC) == 0;
    UniqueFd pipeOut(pipeFds[0]);
    UniqueFd pipeIn(pipeFds[1]);
    if (splicing) fcntl(pipeFds[1], F_SETPIPE_SZ, static_cast<int>(kSpliceChunk));
    std::vector<char> buffer;
    Clock::time_point nextControlLook{};
    for (;;) {
        if (Wait wait = controlAtTimes(&nextControlLook); wait != Wait::kReady) return outcomeOf(wait);
        if (!splicing && buffer.empty()) buffer.resize(kCopyBuffer);
        Wait stopped = Wait::kReady;
        size_t piece = allowed(splicing ? kSpliceChunk : buffer.size(), &stopped);
        if (piece == 0) return outcomeOf(stopped);
        ssize_t n = splicing ? splice(dataFd, nullptr, pipeFds[1], nullptr, piece, SPLICE_F_MOVE)
                             : recv(dataFd, buffer.data(), piece, 0);
        if (n == 0) return TransferOutcome::kDone;
        if (n < 0) {
            if (splicing && (errno == EINVAL || errno == ENOSYS)) {
                splicing = false;
                continue;
            }
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return TransferOutcome::kNetworkFailed;
            if (Clock::now() >= stallDeadline()) return TransferOutcome::kTimedOut;
            continue;
        }
        if (int refused = sink.admit(static_cast<size_t>(n)); refused != 0) return storageFailure(refused);
        bool written = splicing ? drainPipe(pipeFds[0], sink.fd(), static_cast<size_t>(n), &splicing)
                                : writeAll(sink.fd(), buffer.data(), static_cast<size_t>(n));
        if (!written) return writeFailure();
        counted(static_cast<size_t>(n));
    }
}

// Over TLS the file goes through the stream's buffer a few records at a
// time.
TransferOutcome Transfer::sendFileTls(TlsStream &tls, int fileFd, off_t offset) {
    Wait stopped = Wait::kReady;
    TlsWaiter wait = waiter(&stopped);
    Clock::time_point nextControlLook{};
    for (;;) {
        if (Wait heard = controlAtTimes(&nextControlLook); heard != Wait::kReady) return outcomeOf(heard);
        size_t piece = allowed(kCopyBuffer, &stopped);
        if (piece == 0) return outcomeOf(stopped);
        size_t sent = 0;
        TlsResult result = tls.sendFile(fileFd, &offset, piece, &sent, stallDeadline(), wait);
        if (result != TlsResult::kOk) return outcomeOf(result, stopped);
        if (sent == 0) return TransferOutcome::kDone;
        counted(sent);
    }
}

// An upload is complete only when the client ends it with close_notify;
// an end without one may be a cut the client did not mean.
TransferOutcome Transfer::receiveFileTls(TlsStream &tls, UploadSink &sink) {
    std::vector<char> buffer(kCopyBuffer);
    Wait stopped = Wait::kReady;
    TlsWaiter wait = waiter(&stopped);
    Clock::time_point nextControlLook{};
    for (;;) {
        if (Wait heard = controlAtTimes(&nextControlLook); heard != Wait::kReady) return outcomeOf(heard);
        size_t piece = allowed(buffer.size(), &stopped);
        if (piece == 0) return outcomeOf(stopped);
        size_t got = 0;
        TlsResult result = tls.read(buffer.data(), piece, &got, stallDeadline(), wait);
        size_t filled = got;
        // Records that have already arrived join the same write to the file.
        while (result == TlsResult::kOk && filled < piece) {
            result = tls.tryRead(buffer.data() + filled, piece - filled, &got);
            filled += got;
        }
        if (filled > 0) {
            if (int refused = sink.admit(filled); refused != 0) return storageFailure(refused);
            if (!writeAll(sink.fd(), buffer.data(), filled)) return writeFailure();
            counted(filled);
        }
        if (result == TlsResult::kClosed) return TransferOutcome::kDone;
        if (result != TlsResult::kOk && result != TlsResult::kWouldBlock) return outcomeOf(result, stopped);
    }
}

}  // namespace osprel
