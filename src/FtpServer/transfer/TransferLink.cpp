// The data connection of one transfer: the passive connection accepted (or
// yet to be), or the active one to the client's PORT; over TLS when data
// connections are protected, chosen among every connection from the
// client's host by the TLS session it resumes.
#include <unistd.h>

#include <vector>

#include "tls/TlsContext.h"
#include "tls/TlsSessionBinding.h"
#include "transfer/RateLimit.h"
#include "transfer/Transfer.h"
#include "transfer/UploadSink.h"

namespace osprel {

namespace {

// After a refused data connection the client's own may still be on its way
// (a thief may have come first); past this without one, the transfer fails.
constexpr auto kRefusalGrace = std::chrono::seconds(2);

}  // namespace

template <typename Move>
TransferOutcome Transfer::overDataLink(Move move) {
    TransferOutcome outcome = TransferOutcome::kDone;
    DataLink link;
    bool opened = open(&link, &outcome);
    // The PASV or PORT set-up is used up, whatever came of it.
    channel_.reset();
    if (!opened) return outcome;
    lastProgress_ = Clock::now();
    if (settings_.rate != nullptr) settings_.rate->begin(lastProgress_);
    outcome = close(link, move(link));
    if (settings_.rate != nullptr) settings_.rate->end();
    return outcome;
}

TransferOutcome Transfer::sendFile(int fileFd, off_t offset) {
    countInto(&ServerCounters::bytesSent);
    return overDataLink([&](DataLink &link) { return sendFile(link, fileFd, offset); });
}

TransferOutcome Transfer::sendText(TextSource &source) {
    countInto(&ServerCounters::bytesSent);
    return overDataLink([&](DataLink &link) {
        std::string piece;
        for (;;) {
            switch (source.next(&piece)) {
            case TextSource::Next::kEnd:
                return TransferOutcome::kDone;
            case TextSource::Next::kFailed:
                return TransferOutcome::kLocalFailed;
            case TextSource::Next::kPiece:
                break;
            }
            if (TransferOutcome outcome = sendText(link, piece); outcome != TransferOutcome::kDone) return outcome;
        }
    });
}

TransferOutcome Transfer::receiveFile(UploadSink &sink) {
    countInto(&ServerCounters::bytesReceived);
    TransferOutcome outcome = overDataLink([&](DataLink &link) { return receiveFile(link, sink); });
    if (outcome != TransferOutcome::kDone) {
        sink.abandon();
        return outcome;
    }
    int error = sink.finish();
    return error == 0 ? outcome : storageFailure(error);
}

bool Transfer::open(DataLink *link, TransferOutcome *failure) {
    bool protect = settings_.tls != nullptr;
    if (!channel_.isActive() && protect) return openProtected(link, -1, failure);
    Wait wait = Wait::kReady;
    UniqueFd fd;
    if (channel_.isActive()) {
        fd.reset(channel_.startActiveConnect());
        if (fd.get() >= 0) {
            wait = waitFor(fd.get(), POLLOUT, Clock::now() + std::chrono::seconds(settings_.connectSeconds));
            if (wait != Wait::kReady || !connectSucceeded(fd.get())) fd.reset();
        }
    } else {
        fd.reset(channel_.takeConnected());
        // Connections accepted while data connections were to be protected.
        if (fd.get() < 0) fd.reset(channel_.takeCandidate());
        while (fd.get() < 0 && wait == Wait::kReady && channel_.listenerFd() >= 0) {
            if (channel_.acceptFrom(settings_.peer))
                fd.reset(channel_.takeConnected());
            else
                wait = waitFor(channel_.listenerFd(), POLLIN, channel_.passiveDeadline());
        }
    }
    if (fd.get() >= 0 && protect) return openProtected(link, fd.release(), failure);
    if (fd.get() >= 0) {
        link->fd.reset(fd.release());
        return true;
    }
    *failure = connectionFailure(wait, false);
    return false;
}

// Why no data connection came: the client aborted or left, or none that
// may carry the transfer arrived (refused: one arrived but did not resume).
TransferOutcome Transfer::connectionFailure(Wait wait, bool refused) {
    switch (wait) {
    case Wait::kAborted:
        return TransferOutcome::kAborted;
    case Wait::kControlLost:
        return TransferOutcome::kControlLost;
    case Wait::kStopped:
        return TransferOutcome::kStopped;
    case Wait::kReady:
    case Wait::kTimedOut:
        break;
    }
    return refused ? TransferOutcome::kNotResumed : TransferOutcome::kNoConnection;
}

// Every connection from the client's host gets its TLS handshake, side by
// side, so a thief on that host who connects first, then stalls or fails,
// holds up nobody.  The first that resumes the control connection's TLS
// session (any, with resumption not required) is the data connection; the
// others are reset, having neither received nor supplied a byte.
bool Transfer::openProtected(DataLink *link, int activeFd, TransferOutcome *failure) {
    std::vector<DataLink> candidates;
    auto add = [&](int fd) {
        if (fd < 0) return;
        DataLink candidate;
        candidate.fd.reset(fd);
        candidate.tls = TlsStream::open(*settings_.tls, fd, *settings_.binding, TlsStream::Role::kData);
        if (candidate.tls != nullptr) candidates.push_back(std::move(candidate));
    };
    auto drop = [&](size_t index) {
        candidates[index].tls->abort();
        candidates.erase(candidates.begin() + static_cast<ptrdiff_t>(index));
    };
    candidates.reserve(DataChannel::kMaxCandidates + 1);
    if (activeFd >= 0) add(activeFd);
    add(channel_.takeConnected());
    Clock::time_point deadline = channel_.listenerFd() >= 0
                                     ? channel_.passiveDeadline()
                                     : Clock::now() + std::chrono::seconds(settings_.connectSeconds);
    Clock::time_point lastRefusal{};
    bool refused = false;
    Wait wait = Wait::kReady;
    while (wait == Wait::kReady) {
        channel_.acceptCandidates(settings_.peer);
        for (int fd = channel_.takeCandidate(); fd >= 0; fd = channel_.takeCandidate()) {
            if (candidates.size() == DataChannel::kMaxCandidates) drop(0);
            add(fd);
        }
        for (size_t i = 0; i < candidates.size();) {
            TlsResult result = candidates[i].tls->tryHandshake();
            if (result == TlsResult::kWouldBlock) {
                ++i;
                continue;
            }
            TlsStream &tls = *candidates[i].tls;
            if (result == TlsResult::kOk &&
                (!settings_.tls->requireResumption() || settings_.binding->resumedHere(tls.handle()))) {
                *link = std::move(candidates[i]);
                candidates.erase(candidates.begin() + static_cast<ptrdiff_t>(i));
                while (!candidates.empty()) drop(0);
                return true;
            }
            refused = refused || result == TlsResult::kOk;
            lastRefusal = Clock::now();
            drop(i);
        }
        if (candidates.empty() && channel_.listenerFd() < 0) break;
        pollfd fds[kMaxWatched];
        size_t count = 0;
        if (channel_.listenerFd() >= 0) fds[count++] = {channel_.listenerFd(), POLLIN, 0};
        for (DataLink &candidate : candidates) fds[count++] = {candidate.fd.get(), candidate.tls->wantedEvents(), 0};
        bool graceOnly = candidates.empty() && lastRefusal != Clock::time_point{};
        wait = waitFor(fds, count, graceOnly ? std::min(deadline, lastRefusal + kRefusalGrace) : deadline);
    }
    while (!candidates.empty()) drop(0);
    *failure = connectionFailure(wait, refused);
    return false;
}

// A transfer cut short ends with a reset (and over TLS without
// close_notify), never with the orderly end a client would take for a
// complete transfer.  Returns the outcome, which a failed close_notify spoils.
TransferOutcome Transfer::close(DataLink &link, TransferOutcome outcome) {
    if (link.tls != nullptr && outcome == TransferOutcome::kDone) {
        Wait stopped = Wait::kReady;
        outcome = outcomeOf(link.tls->close(stallDeadline(), waiter(&stopped)), stopped);
    }
    if (link.tls != nullptr && outcome != TransferOutcome::kDone) link.tls->abort();
    link.tls.reset();
    if (outcome == TransferOutcome::kDone)
        ::close(link.fd.release());
    else
        resetConnection(link.fd.release());
    return outcome;
}

}  // namespace osprel
