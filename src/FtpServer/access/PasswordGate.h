// The turnstile in front of password hashing: at most kAtOnce checks run in
// the whole server, whatever the number of sessions, so guessers (or many
// honest logins at once) never take more than that many of the host's cores.
// Waiters go through in the order they came; one whose deadline passes
// leaves the queue.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "base/Clock.h"

namespace osprel {

class PasswordGate {
public:
    static constexpr int kAtOnce = 2;

    // Waits for a turn until deadline: false when none came in time, or
    // once interrupted.  After true, leave() must follow.
    bool enter(Clock::time_point deadline);
    void leave();
    // The server stops: every wait ends at once, and no turn is given again.
    void interrupt();

private:
    // One per waiting thread, on its stack, so only the oldest is woken,
    // never the whole queue.
    struct Waiter {
        std::condition_variable turn;
    };
    void wakeNext();

    std::mutex mutex_;
    std::deque<Waiter *> waiting_;  // oldest first
    int running_ = 0;
    bool interrupted_ = false;
};

}  // namespace osprel
