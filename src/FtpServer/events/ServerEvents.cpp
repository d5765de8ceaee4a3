#include "events/ServerEvents.h"

#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace osprel {

namespace {

// The descriptor holds a count while events wait and 0 when none does; it
// changes only under the queue's lock, so it never disagrees with the queue.
void raise(int fd) {
    uint64_t one = 1;
    ssize_t ignored = write(fd, &one, sizeof one);
    (void)ignored;
}

void lower(int fd) {
    uint64_t count = 0;
    ssize_t ignored = read(fd, &count, sizeof count);
    (void)ignored;
}

}  // namespace

EventQueue::~EventQueue() {
    if (int fd = descriptor_.load(); fd >= 0) close(fd);
}

int EventQueue::descriptor() {
    std::lock_guard<std::mutex> lock(mutex_);
    int fd = descriptor_.load(std::memory_order_relaxed);
    if (fd >= 0) return fd;
    fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd >= 0) descriptor_.store(fd, std::memory_order_release);
    return fd;
}

size_t EventQueue::textBytes(const ServerEvent &event) {
    return event.user.size() + event.address.size() + event.path.size() + event.target.size();
}

void EventQueue::drop() {
    ++droppedSinceLast_;
    droppedTotal_.fetch_add(1, std::memory_order_relaxed);
}

void EventQueue::lost() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    drop();
}

void EventQueue::post(ServerEvent &&event) noexcept {
    if (!wanted()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    size_t bytes = textBytes(event);
    if (waiting_.size() >= kMaxEvents || waitingTextBytes_ + bytes > kMaxTextBytes) {
        drop();
        return;
    }
    event.dropped = droppedSinceLast_;
    try {
        waiting_.push_back(std::move(event));
    } catch (...) {
        drop();
        return;
    }
    droppedSinceLast_ = 0;
    waitingTextBytes_ += bytes;
    if (waiting_.size() == 1) raise(descriptor_.load(std::memory_order_relaxed));
}

bool EventQueue::take(ServerEvent *event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.empty()) return false;
    *event = std::move(waiting_.front());
    waiting_.pop_front();
    waitingTextBytes_ -= textBytes(*event);
    if (waiting_.empty()) lower(descriptor_.load(std::memory_order_relaxed));
    return true;
}

}  // namespace osprel
