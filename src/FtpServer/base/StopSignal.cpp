#include "base/StopSignal.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <system_error>

namespace osprel {

namespace {

constexpr Clock::rep kNever = std::numeric_limits<Clock::rep>::max();

// Clock is steady_clock, which is CLOCK_MONOTONIC on Linux: the timer runs
// on the same time line as every deadline of the server.
itimerspec expiryAt(Clock::time_point when) {
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    if (nanoseconds <= 0) nanoseconds = 1;  // 0 would disarm the timer
    itimerspec expiry{};
    expiry.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
    expiry.it_value.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    return expiry;
}

}  // namespace

StopSignal::StopSignal() : cutAt_(kNever) {
    requestedFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    cutFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (requestedFd_ < 0 || cutFd_ < 0) {
        int error = errno;
        if (requestedFd_ >= 0) close(requestedFd_);
        if (cutFd_ >= 0) close(cutFd_);
        throw std::system_error(error, std::generic_category(), "cannot make the server's stop descriptors");
    }
}

StopSignal::~StopSignal() {
    close(requestedFd_);
    close(cutFd_);
}

void StopSignal::request(Clock::duration drain) {
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::rep now = Clock::now().time_since_epoch().count();
    Clock::rep cutAt = now + std::min(drain, Clock::duration(kNever - now - 1)).count();
    Clock::rep before = cutAt_.load();
    // Only ever earlier, and the timer is re-armed only before it has
    // fired: re-arming would make it unreadable again.
    if (cutAt < before && now < before) {
        cutAt_.store(cutAt);
        itimerspec expiry = expiryAt(Clock::time_point(Clock::duration(cutAt)));
        timerfd_settime(cutFd_, TFD_TIMER_ABSTIME, &expiry, nullptr);
    }
    if (!requested_.load()) {
        requested_.store(true, std::memory_order_release);
        uint64_t one = 1;
        ssize_t ignored = write(requestedFd_, &one, sizeof one);
        (void)ignored;
    }
}

bool StopSignal::cutDue() const { return Clock::now().time_since_epoch().count() >= cutAt_.load(); }

bool StopSignal::sleep(Clock::duration time) const {
    Clock::time_point until = Clock::now() + time;
    pollfd entry{requestedFd_, POLLIN, 0};
    while (!requested()) {
        int left = millisecondsUntil(until);
        if (left == 0) return true;
        poll(&entry, 1, left);
    }
    return false;
}

}  // namespace osprel
