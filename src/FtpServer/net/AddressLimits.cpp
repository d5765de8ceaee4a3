#include "net/AddressLimits.h"

#include <string.h>

#include <algorithm>

namespace osprel {

std::string addressKey(const SocketAddress &address) {
    SocketAddress plain = unmapped(address);
    if (plain.family() == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&plain.storage);
        return std::string(reinterpret_cast<const char *>(&v4->sin_addr), sizeof v4->sin_addr);
    }
    if (plain.family() == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&plain.storage);
        return std::string(reinterpret_cast<const char *>(&v6->sin6_addr), 8);
    }
    return std::string();
}

bool SessionSlots::take(const std::string &key) {
    std::lock_guard<std::mutex> lock(mutex_);
    int &count = counts_[key];
    if (count >= perAddress_) return false;
    ++count;
    return true;
}

void SessionSlots::release(const std::string &key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = counts_.find(key);
    if (found != counts_.end() && --found->second <= 0) counts_.erase(found);
}

bool LoginThrottle::begin(const std::string &key, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (records_.size() >= kMaxAddresses && records_.find(key) == records_.end()) makeRoom(now);
    Record &record = records_[key];
    if (record.failures > 0 && now - record.lastFailure >= kLockTime) record.failures = 0;
    if (record.failures + record.checking >= kFailuresBeforeLock) return false;
    ++record.checking;
    return true;
}

void LoginThrottle::finish(const std::string &key, bool succeeded, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Record &record = records_[key];
    record.checking = std::max(record.checking - 1, 0);
    if (succeeded) {
        record.failures = 0;
    } else {
        ++record.failures;
        record.lastFailure = now;
    }
    if (record.failures == 0 && record.checking == 0) records_.erase(key);
}

// Forgets expired records; if none has expired, the one whose last failure
// is oldest, so the table stays bounded whatever the number of addresses.
void LoginThrottle::makeRoom(Clock::time_point now) {
    std::erase_if(records_, [now](const auto &item) {
        return item.second.checking == 0 && now - item.second.lastFailure >= kLockTime;
    });
    if (records_.size() < kMaxAddresses) return;
    auto stalest = records_.end();
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (it->second.checking == 0 && (stalest == records_.end() || it->second.lastFailure < stalest->second.lastFailure))
            stalest = it;
    }
    if (stalest != records_.end()) records_.erase(stalest);
}

}  // namespace osprel
