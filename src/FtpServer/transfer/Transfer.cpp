// The transfer's waits, which always watch the control connection too, its
// count of the bytes moved, and the rate caps between the two.
#include "transfer/Transfer.h"

#include <errno.h>

#include <algorithm>

#include "transfer/RateLimit.h"

namespace osprel {

namespace {

// Fast transfers look at the control connection this often at most, not
// after every piece.
constexpr auto kControlLook = std::chrono::milliseconds(20);

}  // namespace

Transfer::Transfer(DataChannel &channel, TransferControl &control, const TransferSettings &settings)
    : channel_(channel), control_(control), settings_(settings), started_(Clock::now()), lastProgress_(started_) {}

// The size of the next piece: `wanted`, or less under a rate cap, whose
// time is waited for here with the control connection heard.  0 when the
// wait was stopped, with why in *stopped.
size_t Transfer::allowed(size_t wanted, Wait *stopped) {
    RateLimit *rate = settings_.rate;
    if (rate == nullptr || !rate->capped()) return wanted;
    for (;;) {
        Clock::time_point readyAt;
        size_t allowance = rate->allowance(Clock::now(), &readyAt);
        if (allowance > 0) return std::min(wanted, allowance);
        Wait wait = waitFor(nullptr, 0, readyAt);
        // Held back by the cap is not stalled.
        lastProgress_ = Clock::now();
        if (wait == Wait::kAborted || wait == Wait::kControlLost || wait == Wait::kStopped) {
            *stopped = wait;
            return 0;
        }
    }
}

void Transfer::countInto(std::atomic<unsigned long long> ServerCounters::*counter) {
    movedCounter_ = settings_.counters != nullptr ? &(settings_.counters->*counter) : nullptr;
}

void Transfer::counted(size_t bytes) {
    moved_ += static_cast<long long>(bytes);
    if (movedCounter_ != nullptr) count(*movedCounter_, bytes);
    lastProgress_ = Clock::now();
    if (settings_.rate != nullptr) settings_.rate->moved(bytes);
}

Clock::time_point Transfer::stallDeadline() const {
    return lastProgress_ + std::chrono::seconds(settings_.stallSeconds);
}

Transfer::Wait Transfer::waitFor(int fd, short events, Clock::time_point deadline) {
    pollfd watched{fd, events, 0};
    return waitFor(&watched, 1, deadline);
}

// Ready when any of the descriptors is; meanwhile the control connection is
// heard, and bytes already received on it are looked at first, and the
// server's cut ends the wait.
Transfer::Wait Transfer::waitFor(const pollfd *watched, size_t count, Clock::time_point deadline) {
    pollfd fds[kMaxWatched + 2];
    for (;;) {
        if (control_.hasUnread()) {
            if (Wait wait = controlNow(); wait != Wait::kReady) return wait;
        } else if (control_.lost()) {
            return Wait::kControlLost;
        }
        std::copy(watched, watched + count, fds);
        fds[count] = control_.pollEntry();
        fds[count + 1] = {settings_.stop != nullptr ? settings_.stop->cutFd() : -1, POLLIN, 0};
        int ready = poll(fds, count + 2, millisecondsUntil(deadline));
        if (ready < 0 && errno != EINTR) return Wait::kControlLost;
        if (fds[count + 1].revents != 0) return Wait::kStopped;
        if (fds[count].revents != 0) {
            if (Wait wait = controlNow(); wait != Wait::kReady) return wait;
        }
        for (size_t i = 0; i < count; ++i)
            if (fds[i].revents != 0) return Wait::kReady;
        if (Clock::now() >= deadline) return Wait::kTimedOut;
    }
}

// What the control connection, and the server's stop, say right now;
// kReady means carry on.
Transfer::Wait Transfer::controlNow() {
    if (settings_.stop != nullptr && settings_.stop->cutDue()) return Wait::kStopped;
    switch (control_.listen(moved_)) {
    case TransferControl::Heard::kAbort:
        return Wait::kAborted;
    case TransferControl::Heard::kLost:
        return Wait::kControlLost;
    case TransferControl::Heard::kNothing:
        break;
    }
    return Wait::kReady;
}

// The same every kControlLook at most: *nextLook says when next.
Transfer::Wait Transfer::controlAtTimes(Clock::time_point *nextLook) {
    if (Clock::now() < *nextLook) return Wait::kReady;
    *nextLook = Clock::now() + kControlLook;
    return controlNow();
}

// A waiter for a TLS stream that waits as waitFor does; why it stopped is
// left in *stopped.
TlsWaiter Transfer::waiter(Wait *stopped) {
    return [this, stopped](int fd, short events, Clock::time_point deadline) {
        *stopped = waitFor(fd, events, deadline);
        switch (*stopped) {
        case Wait::kReady:
            return TlsWait::kReady;
        case Wait::kTimedOut:
            return TlsWait::kTimedOut;
        case Wait::kAborted:
        case Wait::kControlLost:
        case Wait::kStopped:
            break;
        }
        return TlsWait::kStopped;
    };
}

TransferOutcome Transfer::outcomeOf(Wait wait) {
    switch (wait) {
    case Wait::kAborted:
        return TransferOutcome::kAborted;
    case Wait::kControlLost:
        return TransferOutcome::kControlLost;
    case Wait::kTimedOut:
        return TransferOutcome::kTimedOut;
    case Wait::kStopped:
        return TransferOutcome::kStopped;
    case Wait::kReady:
        break;
    }
    return TransferOutcome::kDone;
}

TransferOutcome Transfer::outcomeOf(TlsResult result, Wait stopped) {
    switch (result) {
    case TlsResult::kOk:
        return TransferOutcome::kDone;
    case TlsResult::kTimedOut:
        return TransferOutcome::kTimedOut;
    case TlsResult::kStopped:
        return outcomeOf(stopped);
    default:
        return TransferOutcome::kNetworkFailed;
    }
}

TransferOutcome storageFailure(int error) {
    switch (error) {
    case 0:
        return TransferOutcome::kDone;
    case ENOSPC:
    case EDQUOT:
        return TransferOutcome::kNoSpace;
    case EFBIG:
        return TransferOutcome::kTooBig;
    default:
        return TransferOutcome::kLocalFailed;
    }
}

}  // namespace osprel
