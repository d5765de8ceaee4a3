#include "access/PasswordGate.h"

#include <algorithm>

namespace osprel {

bool PasswordGate::enter(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    Waiter me;
    waiting_.push_back(&me);
    bool admitted = me.turn.wait_until(lock, deadline, [&] {
        return interrupted_ || (running_ < kAtOnce && waiting_.front() == &me);
    }) && !interrupted_;
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &me));
    if (admitted) ++running_;
    // The next in line may go now, or may have been held up behind this one.
    wakeNext();
    return admitted;
}

void PasswordGate::leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    wakeNext();
}

void PasswordGate::interrupt() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted_ = true;
    for (Waiter *waiter : waiting_) waiter->turn.notify_one();
}

// Under the lock, so the waiter is still there to be woken.
void PasswordGate::wakeNext() {
    if (!waiting_.empty() && running_ < kAtOnce) waiting_.front()->turn.notify_one();
}

}  // namespace osprel
