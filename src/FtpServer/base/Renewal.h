// Something loaded from files (the accounts, the TLS certificate and key)
// and loaded again when they change, while the server runs: a caller asks
// for the current version, which is looked at for changes at most once a
// second.  What callers hold stays theirs as it was: a session keeps the
// version it started with.  A new version that fails to load leaves the old
// one in use, with one line on standard error (once per change of the files).
#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Clock.h"

namespace osprel {

constexpr auto kRenewalInterval = std::chrono::seconds(1);

// What the files were when last looked at: device, inode, size, modification
// and change time (so a chmod counts), or the error of stat.
class FileWatch {
public:
    explicit FileWatch(std::vector<std::string> paths) : paths_(std::move(paths)) {}
    // Looks again; true when any file differs from the last look.
    bool changed();

private:
    struct Seen {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};
        int error = 0;
        bool operator==(const Seen &other) const;
    };
    std::vector<std::string> paths_;
    std::vector<Seen> seen_;
};

// Reports a reload of `what` (a plural noun: "accounts") from the files:
// "osprel: reloaded the accounts from /etc/users", or, with an error, the
// error and that the version loaded before stays in use.
void reportRenewal(const std::string &what, const std::vector<std::string> &paths, const std::string *error);

template <typename T>
class Renewable {
public:
    // load returns the new version, or null with one line in *error.
    using Loader = std::function<std::shared_ptr<const T>(std::string *error)>;
    Renewable(std::vector<std::string> paths, std::string what, Loader load)
        : watch_(paths), paths_(std::move(paths)), what_(std::move(what)), load_(std::move(load)) {}

    // The load at start: false with one line in *error (and errno as load left it).
    bool loadFirst(std::string *error) {
        watch_.changed();
        current_ = load_(error);
        return current_ != nullptr;
    }

    // The version in use.  One caller at a time looks at the files, without
    // the lock, so nobody waits for a load: others get the old version.
    std::shared_ptr<const T> current(Clock::time_point now) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (looking_ || now < nextLook_) return current_;
        looking_ = true;
        nextLook_ = now + kRenewalInterval;
        lock.unlock();
        std::shared_ptr<const T> renewed;
        try {
            renewed = watch_.changed() ? reload() : nullptr;
        } catch (const std::exception &failure) {
            std::string error = failure.what();
            reportRenewal(what_, paths_, &error);
        } catch (...) {
            // Whatever it was, looking_ must not stay set: renewal would stop for good.
            std::string error = "unknown exception";
            reportRenewal(what_, paths_, &error);
        }
        lock.lock();
        looking_ = false;
        if (renewed != nullptr) current_ = std::move(renewed);
        return current_;
    }

private:
    std::shared_ptr<const T> reload() {
        std::string error;
        std::shared_ptr<const T> renewed = load_(&error);
        reportRenewal(what_, paths_, renewed != nullptr ? nullptr : &error);
        return renewed;
    }

    std::mutex mutex_;
    std::shared_ptr<const T> current_;
    Clock::time_point nextLook_{};
    bool looking_ = false;
    FileWatch watch_;  // used by the one caller looking
    std::vector<std::string> paths_;
    std::string what_;
    Loader load_;
};

}  // namespace osprel
