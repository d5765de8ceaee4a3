// Rate caps in bytes per second: each session's own, and one for all
// sessions together.  Nothing here sleeps: a transfer asks how much may go
// now and, when nothing may, until when to wait, so that it can wait while
// it watches its control connection.
//
// Each cap keeps a schedule, a virtual clock: every piece booked on it moves
// its due time on by the piece's share of a second, and the piece may go
// once that time has come, never before.  Within a transfer, then, the bytes
// moved never run ahead of the cap.  Every session books its pieces on the
// total cap's one schedule, first come first served, and books its next
// piece only once the last has gone: sessions that all want more take turns
// piece by piece, whichever of them wakes first.  Pieces follow the caps,
// which are the same for every session, so turns are the same size and the
// total is shared evenly.
#pragma once

#include <stddef.h>

#include <algorithm>
#include <mutex>

#include "base/Clock.h"

namespace osprel {

// One cap's schedule.  Not thread-safe.
class RateSchedule {
public:
    explicit RateSchedule(long long bytesPerSecond) : rate_(bytesPerSecond) {}

    // Books `bytes` after everything booked before, or from now - slack
    // when the schedule has fallen further behind (an idle cap saves up no
    // more than that).  Returns the time they may go.
    Clock::time_point book(size_t bytes, Clock::time_point now, Clock::duration slack);
    // Takes back bytes booked but never moved.
    void cancel(size_t bytes) { due_ -= timeFor(bytes); }
    // Saves up nothing from before now.
    void restartAt(Clock::time_point now) { due_ = std::max(due_, now); }

private:
    // Rounded up, so a cap is never exceeded by rounding.
    Clock::duration timeFor(size_t bytes) const;

    long long rate_;
    Clock::time_point due_{};
};

// The cap for all sessions together; thread-safe.
class TotalRate {
public:
    // 0: no cap.
    explicit TotalRate(long long bytesPerSecond) : rate_(bytesPerSecond), schedule_(bytesPerSecond) {}

    long long bytesPerSecond() const { return rate_; }
    Clock::time_point book(size_t bytes, Clock::time_point now, Clock::duration slack);
    void cancel(size_t bytes);

private:
    const long long rate_;
    std::mutex mutex_;
    RateSchedule schedule_;
};

// One session's caps: its own (0 for none) and the total (null or 0 for
// none).  Used by the session's own thread only; the total may be shared.
class RateLimit {
public:
    RateLimit(long long sessionRate, TotalRate *total);

    bool capped() const { return sessionRate_ > 0 || total_ != nullptr; }

    // At the start of each transfer: the session's own cap counts from now,
    // with no credit for the time the session spent without a transfer.
    void begin(Clock::time_point now);
    // How many bytes may go now: without caps, SIZE_MAX; with caps, at most
    // a piece's worth (about kPieceTime at the lower cap), or 0 with
    // *readyAt set to when more may go.
    size_t allowance(Clock::time_point now, Clock::time_point *readyAt);
    // `bytes` of the allowance have gone.
    void moved(size_t bytes);
    // At the end of each transfer, however it ended: what was allowed but
    // has not gone goes back to the caps.
    void end();

    static constexpr Clock::duration kPieceTime = std::chrono::milliseconds(50);

private:
    long long sessionRate_;
    TotalRate *total_;
    RateSchedule own_;
    size_t pieceSize_;
    size_t granted_ = 0;  // booked on the caps and not gone yet
    Clock::time_point grantedAt_{};
};

}  // namespace osprel
