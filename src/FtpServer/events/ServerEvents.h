// What the server tells its host: events (a login, a transfer, a deletion),
// queued until the host takes them, with a descriptor that is readable
// while any wait; and the counters.  Sessions never wait here: past the
// queue's bounds an event is dropped and counted, and nothing is kept, or
// allocated, until the host first asks for the descriptor.
#pragma once

#include <stddef.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>

namespace osprel {

// The numbers of osprel.h's OSPREL_EVENT_* constants.
enum class EventType {
    kLogin = 1,
    kLoginFailed,
    kLogout,
    kDownload,
    kUpload,
    kDelete,
    kRename,
    kMakeDirectory,
    kRemoveDirectory,
};

struct ServerEvent {
    EventType type = EventType::kLogin;
    bool complete = false;
    unsigned long long session = 0;  // from 1, in the order sessions start
    unsigned long long bytes = 0;
    unsigned long long dropped = 0;  // lost just before this one
    std::string user;
    std::string address;
    std::string path;
    std::string target;
};

class EventQueue {
public:
    static constexpr size_t kMaxEvents = 1024;
    static constexpr size_t kMaxTextBytes = size_t{1} << 20;

    EventQueue() = default;
    ~EventQueue();
    EventQueue(const EventQueue &) = delete;
    EventQueue &operator=(const EventQueue &) = delete;

    // Whether events are kept: checked before one is made, so a host that
    // never asked pays one load per event.
    bool wanted() const { return descriptor_.load(std::memory_order_acquire) >= 0; }
    // Readable while an event waits; events are kept from the first call on.
    // -1 with errno when no descriptor can be had.
    int descriptor();

    // Never waits or throws: an event past the bounds, or one memory runs
    // out for, is dropped and counted.
    void post(ServerEvent &&event) noexcept;
    // An event that could not even be made (memory ran out) counts as dropped.
    void lost() noexcept;
    // The oldest waiting event into *event; false when none waits.
    bool take(ServerEvent *event);
    unsigned long long dropped() const { return droppedTotal_.load(std::memory_order_relaxed); }

private:
    static size_t textBytes(const ServerEvent &event);
    void drop();  // under the lock

    std::atomic<int> descriptor_{-1};
    std::mutex mutex_;
    std::deque<ServerEvent> waiting_;
    size_t waitingTextBytes_ = 0;
    unsigned long long droppedSinceLast_ = 0;
    std::atomic<unsigned long long> droppedTotal_{0};
};

// Every counter only grows, but sessionsNow; each is read on its own
// (relaxed), so a snapshot may be a moment apart between counters.
struct ServerCounters {
    std::atomic<unsigned long long> sessionsNow{0};
    std::atomic<unsigned long long> sessionsTotal{0};
    std::atomic<unsigned long long> sessionsRefused{0};
    std::atomic<unsigned long long> loginsOk{0};
    std::atomic<unsigned long long> loginsFailed{0};
    std::atomic<unsigned long long> downloadsComplete{0};
    std::atomic<unsigned long long> downloadsCut{0};
    std::atomic<unsigned long long> uploadsComplete{0};
    std::atomic<unsigned long long> uploadsCut{0};
    std::atomic<unsigned long long> bytesSent{0};
    std::atomic<unsigned long long> bytesReceived{0};
};

inline void count(std::atomic<unsigned long long> &counter, unsigned long long amount = 1) {
    counter.fetch_add(amount, std::memory_order_relaxed);
}

}  // namespace osprel
