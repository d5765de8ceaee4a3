// Everything that moves over a data connection.  While a transfer runs the
// session keeps reading the control connection: ABOR stops the transfer, STAT
// reports progress, any other command waits for the transfer's end.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "PathResolver.h"
#include "Session.h"
#include "Wildcard.h"

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
constexpr auto kControlLook = std::chrono::milliseconds(20);
// Listings go out in pieces of this size; one line (a name and a link
// target) is at most about kLongestListingLine.
constexpr size_t kListingPiece = size_t{64} << 10;
constexpr size_t kLongestListingLine = size_t{8} << 10;

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

// "-la name" -> "name": LIST and NLST options are accepted and ignored.
std::string withoutOptions(const std::string &argument) {
    size_t position = 0;
    while (position < argument.size() && argument[position] == '-') {
        size_t space = argument.find(' ', position);
        if (space == std::string::npos) return std::string();
        position = argument.find_first_not_of(' ', space);
        if (position == std::string::npos) return std::string();
    }
    return argument.substr(position);
}

}  // namespace

void Session::watchControlDuringTransfer(bool *aborted, bool *lost) {
    while (!deferredFull()) {
        std::string line;
        ControlChannel::Read read = control_.readLine(&line);
        // Decrypted bytes left over do not show in poll: read them now.
        if (read == ControlChannel::Read::kNothing && control_.hasBuffered()) continue;
        if (read == ControlChannel::Read::kNothing) return;
        if (read == ControlChannel::Read::kClosed) {
            *lost = true;
            return;
        }
        lastActivity_ = Clock::now();
        Command command;
        bool parsed = read == ControlChannel::Read::kLine && splitCommand(line, &command);
        if (parsed && command.verb == "ABOR") {
            *aborted = true;
            return;
        }
        if (parsed && command.verb == "STAT" && command.argument.empty()) {
            control_.replyf(213, "Status: %lld bytes transferred.", transferredBytes_);
            continue;
        }
        deferred_.push_back({read == ControlChannel::Read::kTooLong, std::move(line)});
    }
}

Session::Wait Session::waitDuringTransfer(int fd, short events, Clock::time_point deadline) {
    pollfd watched{fd, events, 0};
    return waitDuringTransfer(&watched, 1, deadline);
}

Session::Wait Session::waitDuringTransfer(const pollfd *watched, size_t count, Clock::time_point deadline) {
    pollfd fds[kMaxWatched + 1];
    for (;;) {
        bool aborted = false;
        bool lost = false;
        if (!deferredFull() && control_.hasBuffered()) watchControlDuringTransfer(&aborted, &lost);
        if (lost || control_.broken()) return Wait::kControlLost;
        if (aborted) return Wait::kAborted;

        std::copy(watched, watched + count, fds);
        // With the queue of waiting commands full the control connection is left alone.
        fds[count] = {deferredFull() ? -1 : control_.fd(), control_.readEvents(), 0};
        int ready = poll(fds, count + 1, millisecondsUntil(deadline));
        if (ready < 0 && errno != EINTR) return Wait::kControlLost;
        if (fds[count].revents != 0) {
            watchControlDuringTransfer(&aborted, &lost);
            if (lost) return Wait::kControlLost;
            if (aborted) return Wait::kAborted;
        }
        for (size_t i = 0; i < count; ++i)
            if (fds[i].revents != 0) return Wait::kReady;
        if (Clock::now() >= deadline) return Wait::kTimedOut;
    }
}

TlsWaiter Session::transferWaiter(Wait *stopped) {
    return [this, stopped](int fd, short events, Clock::time_point deadline) {
        *stopped = waitDuringTransfer(fd, events, deadline);
        switch (*stopped) {
        case Wait::kReady:
            return TlsWait::kReady;
        case Wait::kTimedOut:
            return TlsWait::kTimedOut;
        case Wait::kAborted:
        case Wait::kControlLost:
            break;
        }
        return TlsWait::kStopped;
    };
}

// Connects the data channel for a transfer: the passive connection accepted
// (or yet to be), or the active one to the client's PORT; over TLS when
// data connections are protected.
bool Session::openDataConnection(DataLink *link, Outcome *failure) {
    transferredBytes_ = 0;
    if (!data_.isActive() && protectsData()) return openProtectedConnection(link, -1, failure);
    Wait wait = Wait::kReady;
    UniqueFd fd;
    if (data_.isActive()) {
        fd.reset(data_.startActiveConnect());
        if (fd.get() >= 0) {
            wait = waitDuringTransfer(fd.get(), POLLOUT,
                                      Clock::now() + std::chrono::seconds(config_.passiveTimeoutSeconds));
            if (wait != Wait::kReady || !connectSucceeded(fd.get())) fd.reset();
        }
    } else {
        fd.reset(data_.takeConnected());
        // Connections accepted while data connections were to be protected.
        if (fd.get() < 0) fd.reset(data_.takeCandidate());
        while (fd.get() < 0 && wait == Wait::kReady && data_.listenerFd() >= 0) {
            if (data_.acceptFrom(peer_))
                fd.reset(data_.takeConnected());
            else
                wait = waitDuringTransfer(data_.listenerFd(), POLLIN, data_.passiveDeadline());
        }
    }
    if (fd.get() >= 0 && protectsData()) return openProtectedConnection(link, fd.release(), failure);
    if (fd.get() >= 0) {
        link->fd.reset(fd.release());
        return true;
    }
    *failure = connectionFailure(wait, false);
    return false;
}

// Why no data connection came: the client aborted or left, or none that
// may carry the transfer arrived (refused: one arrived but did not resume).
Session::Outcome Session::connectionFailure(Wait wait, bool refused) {
    switch (wait) {
    case Wait::kAborted:
        return Outcome::kAborted;
    case Wait::kControlLost:
        return Outcome::kControlLost;
    case Wait::kReady:
    case Wait::kTimedOut:
        break;
    }
    return refused ? Outcome::kNotResumed : Outcome::kNoConnection;
}

// The data connection of one transfer: opened, used by move, closed as the
// outcome says.
template <typename Move>
Session::Outcome Session::overDataConnection(Move move) {
    Outcome outcome = Outcome::kDone;
    DataLink link;
    if (!openDataConnection(&link, &outcome)) return outcome;
    return closeDataConnection(link, move(link));
}

Session::Outcome Session::sendText(DataLink &link, const std::string &text) {
    if (link.tls != nullptr) {
        Wait stopped = Wait::kReady;
        TlsResult result =
            link.tls->writeAll(text.data(), text.size(), idleDeadlineFromNow(), transferWaiter(&stopped));
        if (result == TlsResult::kOk) transferredBytes_ += static_cast<long long>(text.size());
        return outcomeOf(result, stopped);
    }
    int dataFd = link.fd.get();
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(dataFd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            transferredBytes_ += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Outcome::kNetworkFailed;
        Wait wait = waitDuringTransfer(dataFd, POLLOUT, idleDeadlineFromNow());
        if (wait != Wait::kReady) return outcomeOf(wait);
    }
    return Outcome::kDone;
}

// Between blocking slices of the data transfer: what the control connection
// says.  kReady means carry on.
Session::Wait Session::controlBetweenSlices() {
    bool aborted = false;
    bool lost = false;
    watchControlDuringTransfer(&aborted, &lost);
    if (lost || control_.broken()) return Wait::kControlLost;
    return aborted ? Wait::kAborted : Wait::kReady;
}

// The same every kControlLook at most, not after every piece a fast client
// sends or takes: *nextLook says when next.
Session::Wait Session::controlAtTimes(Clock::time_point *nextLook) {
    if (Clock::now() < *nextLook) return Wait::kReady;
    *nextLook = Clock::now() + kControlLook;
    return controlBetweenSlices();
}

Session::Outcome Session::sendFile(DataLink &link, int fileFd, off_t offset) {
    if (link.tls != nullptr) return sendFileTls(*link.tls, fileFd, offset);
    int dataFd = link.fd.get();
    blockInSlices(dataFd);
    Clock::time_point stallDeadline = idleDeadlineFromNow();
    size_t chunk = kFirstSendfileChunk;
    for (;;) {
        // Looks at the control connection between calls, so ABOR is heard
        // even when the client drains the data as fast as it comes.
        Wait wait = controlBetweenSlices();
        if (wait != Wait::kReady) return outcomeOf(wait);
        Clock::time_point started = Clock::now();
        ssize_t n = sendfile(dataFd, fileFd, &offset, chunk);
        if (n > 0) {
            transferredBytes_ += n;
            stallDeadline = idleDeadlineFromNow();
            chunk = nextSendfileChunk(n, Clock::now() - started);
            continue;
        }
        if (n == 0) return Outcome::kDone;
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            if (Clock::now() >= stallDeadline) return Outcome::kTimedOut;
            continue;
        }
        if (isNetworkError(errno)) {
            discardPendingSigpipe();
            return Outcome::kNetworkFailed;
        }
        return Outcome::kLocalFailed;
    }
}

// Uploads go socket -> pipe -> file with splice, so the data never passes
// through the session's memory; where a file system refuses splice the
// session copies instead.
Session::Outcome Session::receiveFile(DataLink &link, int fileFd) {
    if (link.tls != nullptr) return receiveFileTls(*link.tls, fileFd);
    int dataFd = link.fd.get();
    blockInSlices(dataFd);
    int pipeFds[2] = {-1, -1};
    bool splicing = pipe2(pipeFds, O_CLOEXEC) == 0;
    UniqueFd pipeOut(pipeFds[0]);
    UniqueFd pipeIn(pipeFds[1]);
    if (splicing) fcntl(pipeFds[1], F_SETPIPE_SZ, static_cast<int>(kSpliceChunk));
    std::vector<char> buffer;
    Clock::time_point stallDeadline = idleDeadlineFromNow();
    Clock::time_point nextControlLook{};
    Outcome outcome = Outcome::kDone;
    for (;;) {
        if (Wait wait = controlAtTimes(&nextControlLook); wait != Wait::kReady) {
            outcome = outcomeOf(wait);
            break;
        }
        if (!splicing && buffer.empty()) buffer.resize(kCopyBuffer);
        ssize_t n = splicing ? splice(dataFd, nullptr, pipeFds[1], nullptr, kSpliceChunk, SPLICE_F_MOVE)
                             : recv(dataFd, buffer.data(), buffer.size(), 0);
        if (n == 0) break;
        if (n < 0) {
            if (splicing && (errno == EINVAL || errno == ENOSYS)) {
                splicing = false;
                continue;
            }
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                outcome = Outcome::kNetworkFailed;
                break;
            }
            if (Clock::now() >= stallDeadline) {
                outcome = Outcome::kTimedOut;
                break;
            }
            continue;
        }
        bool written = splicing ? drainPipe(pipeFds[0], fileFd, static_cast<size_t>(n), &splicing)
                                : writeAll(fileFd, buffer.data(), static_cast<size_t>(n));
        if (!written) {
            outcome = Outcome::kLocalFailed;
            break;
        }
        transferredBytes_ += n;
        stallDeadline = idleDeadlineFromNow();
    }
    return outcome;
}

// Over TLS the file goes through the stream's buffer a few records at a
// time.
Session::Outcome Session::sendFileTls(TlsStream &tls, int fileFd, off_t offset) {
    Wait stopped = Wait::kReady;
    TlsWaiter waiter = transferWaiter(&stopped);
    Clock::time_point nextControlLook{};
    for (;;) {
        if (Wait wait = controlAtTimes(&nextControlLook); wait != Wait::kReady) return outcomeOf(wait);
        size_t sent = 0;
        TlsResult result = tls.sendFile(fileFd, &offset, kCopyBuffer, &sent, idleDeadlineFromNow(), waiter);
        if (result != TlsResult::kOk) return outcomeOf(result, stopped);
        if (sent == 0) return Outcome::kDone;
        transferredBytes_ += static_cast<long long>(sent);
    }
}

// An upload is complete only when the client ends it with close_notify;
// an end without one may be a cut the client did not mean.
Session::Outcome Session::receiveFileTls(TlsStream &tls, int fileFd) {
    std::vector<char> buffer(kCopyBuffer);
    Wait stopped = Wait::kReady;
    TlsWaiter waiter = transferWaiter(&stopped);
    Clock::time_point nextControlLook{};
    for (;;) {
        if (Wait wait = controlAtTimes(&nextControlLook); wait != Wait::kReady) return outcomeOf(wait);
        size_t got = 0;
        TlsResult result = tls.read(buffer.data(), buffer.size(), &got, idleDeadlineFromNow(), waiter);
        size_t filled = got;
        // Records that have already arrived join the same write to the file.
        while (result == TlsResult::kOk && filled < buffer.size()) {
            result = tls.tryRead(buffer.data() + filled, buffer.size() - filled, &got);
            filled += got;
        }
        if (filled > 0 && !writeAll(fileFd, buffer.data(), filled)) return Outcome::kLocalFailed;
        transferredBytes_ += static_cast<long long>(filled);
        if (result == TlsResult::kClosed) return Outcome::kDone;
        if (result != TlsResult::kOk && result != TlsResult::kWouldBlock) return outcomeOf(result, stopped);
    }
}

Clock::time_point Session::idleDeadlineFromNow() const {
    return Clock::now() + std::chrono::seconds(config_.idleTimeoutSeconds);
}

Session::Outcome Session::outcomeOf(Wait wait) {
    switch (wait) {
    case Wait::kAborted:
        return Outcome::kAborted;
    case Wait::kControlLost:
        return Outcome::kControlLost;
    case Wait::kTimedOut:
        return Outcome::kTimedOut;
    case Wait::kReady:
        break;
    }
    return Outcome::kDone;
}

Session::Outcome Session::outcomeOf(TlsResult result, Wait stopped) {
    switch (result) {
    case TlsResult::kOk:
        return Outcome::kDone;
    case TlsResult::kTimedOut:
        return Outcome::kTimedOut;
    case TlsResult::kStopped:
        return outcomeOf(stopped);
    default:
        return Outcome::kNetworkFailed;
    }
}

// A transfer cut short ends with a reset (and over TLS without
// close_notify), never with the orderly end a client would take for a
// complete transfer.  Returns the outcome, which a failed close_notify spoils.
Session::Outcome Session::closeDataConnection(DataLink &link, Outcome outcome) {
    if (link.tls != nullptr && outcome == Outcome::kDone) {
        Wait stopped = Wait::kReady;
        outcome = outcomeOf(link.tls->close(idleDeadlineFromNow(), transferWaiter(&stopped)), stopped);
    }
    if (link.tls != nullptr && outcome != Outcome::kDone) link.tls->abort();
    link.tls.reset();
    if (outcome == Outcome::kDone)
        close(link.fd.release());
    else
        resetConnection(link.fd.release());
    return outcome;
}

void Session::finishTransfer(Outcome outcome, const char *doneText) {
    data_.reset();
    // A long transfer is activity: the idle time counts from its end.
    lastActivity_ = Clock::now();
    switch (outcome) {
    case Outcome::kDone:
        control_.reply(226, doneText);
        break;
    case Outcome::kAborted:
        control_.reply(426, "Connection closed; transfer aborted.");
        control_.reply(226, "Abort successful.");
        break;
    case Outcome::kNoConnection:
        control_.reply(425, "Failed to establish connection.");
        break;
    case Outcome::kNotResumed:
        control_.reply(522, "Data connection must resume the control connection's TLS session.");
        break;
    case Outcome::kNetworkFailed:
        control_.reply(426, "Data connection failed; transfer aborted.");
        break;
    case Outcome::kTimedOut:
        control_.reply(426, "Data connection timed out; transfer aborted.");
        break;
    case Outcome::kLocalFailed:
        control_.reply(451, "Local file error; transfer aborted.");
        break;
    case Outcome::kControlLost:
        closing_ = true;
        break;
    }
}

int Session::openListing(const std::string &argument, ListingKind kind, ListingSource *source) {
    std::string named = kind == ListingKind::kFacts ? argument : withoutOptions(argument);
    std::string path;
    if (!resolve(named, &path)) return 550;
    source->directory.reset(openPath(path, O_RDONLY | O_DIRECTORY | O_NONBLOCK));
    if (source->directory.get() >= 0) return 0;
    // A single file: MLSD lists directories only.
    if (source->directory.get() == -ENOTDIR && describePath(path, &source->single)) {
        source->single.name = named;
        return kind == ListingKind::kFacts ? 501 : 0;
    }
    // NLST dir/*.txt: the names of dir that the last component matches.
    std::string leaf = leafName(path);
    if (kind != ListingKind::kNames || !hasWildcard(leaf) || leaf.size() > kMaxWildcardPattern) return 550;
    source->directory.reset(openPath(path.substr(0, path.size() - leaf.size()), O_RDONLY | O_DIRECTORY | O_NONBLOCK));
    if (source->directory.get() < 0) return 550;
    source->pattern = leaf;
    source->prefix = named.substr(0, named.rfind('/') + 1);
    return 0;
}

void Session::appendListingLine(const ListEntry &entry, ListingKind kind, time_t now, const std::string &prefix,
                                std::string *text) const {
    if (kind == ListingKind::kLong) {
        *text += listLine(entry, now);
        return;
    }
    if (kind == ListingKind::kFacts) *text += mlsxFacts(entry, facts_, rights_);
    *text += listingName(prefix + entry.name);
    *text += "\r\n";
}

// Formats the listing into a piece of bounded size and hands each piece to
// write as it fills, so memory does not grow with the directory or wait on
// the client's speed.
template <typename Write>
Session::Outcome Session::streamListing(ListingSource &source, ListingKind kind, Write write) {
    time_t now = time(nullptr);
    std::string piece;
    piece.reserve(kListingPiece);
    if (source.directory.get() < 0) {
        appendListingLine(source.single, kind, now, std::string(), &piece);
        return write(piece);
    }
    DirectoryReader reader(source.directory.get(), source.pattern);
    if (!reader.isOpen()) return Outcome::kLocalFailed;
    ListEntry entry;
    while (reader.next(&entry)) {
        appendListingLine(entry, kind, now, source.prefix, &piece);
        if (piece.size() < kListingPiece - kLongestListingLine) continue;
        Outcome outcome = write(piece);
        if (outcome != Outcome::kDone) return outcome;
        piece.clear();
    }
    if (reader.failed()) return Outcome::kLocalFailed;
    return piece.empty() ? Outcome::kDone : write(piece);
}

// Streams the listing as a 213 reply on the control connection.
void Session::statListing(const std::string &argument) {
    ListingSource source;
    if (openListing(argument, ListingKind::kLong, &source) != 0) {
        control_.reply(550, "Could not list.");
        return;
    }
    if (!control_.sendText("213-Status follows:\r\n")) return;
    auto write = [this](const std::string &text) {
        return control_.sendText(text) ? Outcome::kDone : Outcome::kControlLost;
    };
    if (streamListing(source, ListingKind::kLong, write) != Outcome::kControlLost)
        control_.reply(213, "End of status");
}

void Session::cmdList(const std::string &argument) { sendListing(argument, ListingKind::kLong); }

void Session::cmdNlst(const std::string &argument) { sendListing(argument, ListingKind::kNames); }

void Session::cmdMlsd(const std::string &argument) { sendListing(argument, ListingKind::kFacts); }

void Session::sendListing(const std::string &argument, ListingKind kind) {
    ListingSource source;
    if (!data_.isSetUp()) {
        control_.reply(425, "Use PORT or PASV first.");
        return;
    }
    if (int refusal = openListing(argument, kind, &source); refusal != 0) {
        control_.reply(refusal, "Could not list that directory.");
        return;
    }
    control_.reply(150, "Here comes the directory listing.");
    Outcome outcome = overDataConnection([&](DataLink &link) {
        return streamListing(source, kind, [this, &link](const std::string &text) { return sendText(link, text); });
    });
    finishTransfer(outcome, "Directory send OK.");
}

void Session::cmdRetr(const std::string &argument) {
    std::string path;
    struct stat info;
    UniqueFd file(resolve(argument, &path) ? openPath(path, O_RDONLY | O_NONBLOCK | O_NOCTTY) : -EINVAL);
    // Only regular files: a FIFO or device could hang or harm the session.
    if (file.get() < 0 || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        control_.reply(550, "Failed to open file.");
        return;
    }
    if (!data_.isSetUp()) {
        control_.reply(425, "Use PORT or PASV first.");
        return;
    }
    control_.replyf(150, "Opening %s mode data connection for %s (%lld bytes).", binary_ ? "BINARY" : "ASCII",
                    listingName(leafName(path)).c_str(), static_cast<long long>(info.st_size));
    Outcome outcome = overDataConnection([&](DataLink &link) { return sendFile(link, file.get(), transferOffset_); });
    finishTransfer(outcome, "Transfer complete.");
}

void Session::cmdStor(const std::string &argument) { store(argument, false); }

void Session::cmdAppe(const std::string &argument) { store(argument, true); }

void Session::store(const std::string &argument, bool append) {
    off_t offset = append ? 0 : transferOffset_;
    std::string path;
    std::string leaf;
    UniqueFd parent(resolve(argument, &path) ? openParent(path, &leaf) : -EINVAL);
    if (parent.get() < 0) {
        // A missing directory is "not found", as for every other command.
        control_.reply(parent.get() == -ENOENT || parent.get() == -ENOTDIR ? 550 : 553, "Could not create file.");
        return;
    }
    // Checked before the file is opened, which may truncate it.
    if (!data_.isSetUp()) {
        control_.reply(425, "Use PORT or PASV first.");
        return;
    }
    int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | uploadCreationFlags(rights_);
    // No O_APPEND for APPE: splice refuses such files; the end is sought instead.
    flags |= (append || offset > 0) ? 0 : O_TRUNC;
    UniqueFd file(openat(parent.get(), leaf.c_str(), flags, 0666));
    if (file.get() < 0 && uploadRefusedByRights(errno, rights_)) {
        control_.reply(550, "Permission denied.");
        return;
    }
    struct stat info;
    bool usable = file.get() >= 0 && fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode);
    // A restarted upload replaces everything from the restart offset on.
    if (usable && offset > 0)
        usable = ftruncate(file.get(), offset) == 0 && lseek(file.get(), offset, SEEK_SET) == offset;
    if (usable && append) usable = lseek(file.get(), 0, SEEK_END) >= 0;
    if (!usable) {
        control_.reply(553, "Could not create file.");
        return;
    }
    control_.reply(150, "Ok to send data.");
    Outcome outcome = overDataConnection([&](DataLink &link) { return receiveFile(link, file.get()); });
    if (close(file.release()) != 0 && outcome == Outcome::kDone) outcome = Outcome::kLocalFailed;
    finishTransfer(outcome, "Transfer complete.");
}

}  // namespace osprel
