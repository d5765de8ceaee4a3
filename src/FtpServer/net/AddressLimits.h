// What one client address may take from the server: sessions at once, and
// failed logins.  An IPv6 client counts by its /64, the block one site is
// given, so a host cannot slip past a limit by hopping between addresses.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

#include "net/NetAddress.h"

namespace osprel {

// The bytes that identify an address's owner (IPv4: all 4; IPv6: the first 8).
std::string addressKey(const SocketAddress &address);

// Sessions per address.  Entries live only while sessions do, so the table
// holds at most one per running session.
class SessionSlots {
public:
    explicit SessionSlots(int perAddress) : perAddress_(perAddress) {}

    // False when the address already has perAddress sessions.
    bool take(const std::string &key);
    void release(const std::string &key);

private:
    std::mutex mutex_;
    std::unordered_map<std::string, int> counts_;
    int perAddress_;
};

// Failed logins per address, across sessions.  After kFailuresBeforeLock
// failures the address is locked until kLockTime has passed since its last
// failure: every login from it is refused, the right password too, or
// guessing would merely be slowed.  Attempts being checked count against
// the allowance, so parallel sessions get no more tries than sequential ones.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFailuresBeforeLock = 10;
    static constexpr auto kLockTime = std::chrono::seconds(60);
    // Past this many addresses with failures, the stalest are forgotten.
    static constexpr size_t kMaxAddresses = 4096;

    // Before a password is checked: false while the address is locked.
    // After true, finish() must follow.
    bool begin(const std::string &key, Clock::time_point now);
    void finish(const std::string &key, bool succeeded, Clock::time_point now);

private:
    struct Record {
        int failures = 0;
        int checking = 0;
        Clock::time_point lastFailure{};
    };
    void makeRoom(Clock::time_point now);

    std::mutex mutex_;
    std::unordered_map<std::string, Record> records_;
};

}  // namespace osprel
