// The server's clock for deadlines, and poll's view of one.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>

namespace osprel {

using Clock = std::chrono::steady_clock;

// What is left until deadline as a poll time-out: rounded up, so a wait
// never ends before its deadline, and 0 once it has passed.
inline int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

}  // namespace osprel
