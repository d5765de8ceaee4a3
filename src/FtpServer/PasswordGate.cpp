#include "PasswordGate.h"

#include <algorithm>

namespace osprel {

bool PasswordGate::enter(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t ticket = nextTicket_++;
    waiting_.push_back(ticket);
    bool admitted = turn_.wait_until(lock, deadline, [&] { return running_ < kAtOnce && waiting_.front() == ticket; });
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
    if (admitted) ++running_;
    // The next in line may be free to go now (or was held up by this one).
    turn_.notify_all();
    return admitted;
}

void PasswordGate::leave() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
    }
    turn_.notify_all();
}

}  // namespace osprel
