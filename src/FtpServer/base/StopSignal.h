// The server's stop, as every wait of its threads sees it: requested (new
// commands are no longer taken), and cut (the drain's deadline has come:
// transfers still running are cut).  Both are descriptors a wait polls, so
// a stop wakes whatever waits; both stay readable once raised.
#pragma once

#include <atomic>
#include <mutex>

#include "base/Clock.h"

namespace osprel {

class StopSignal {
public:
    // Throws std::system_error when the descriptors cannot be had.
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal &) = delete;
    StopSignal &operator=(const StopSignal &) = delete;

    // From any thread, never waits.  The first call stops; a later call may
    // bring the cut forward (drain 0: now), never put it off.
    void request(Clock::duration drain);

    bool requested() const { return requested_.load(std::memory_order_acquire); }
    bool cutDue() const;
    // When transfers are cut; the clock's end while no stop is requested.
    Clock::time_point cutAt() const { return Clock::time_point(Clock::duration(cutAt_.load())); }

    // Readable once requested, and once cut.
    int requestedFd() const { return requestedFd_; }
    int cutFd() const { return cutFd_; }

    // Waits for `time`, or less when a stop is requested meanwhile; false
    // then.
    bool sleep(Clock::duration time) const;

private:
    std::mutex mutex_;  // one request at a time
    std::atomic<bool> requested_{false};
    std::atomic<Clock::rep> cutAt_;  // since the clock's epoch
    int requestedFd_ = -1;
    int cutFd_ = -1;
};

}  // namespace osprel
