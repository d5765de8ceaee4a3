// Throughput of the message queue beside a bare non-blocking pipe making the
// same system calls, measured in the same run.  Rounds of the two alternate,
// and the best round of each is shown, to keep other load on the machine out
// of the comparison.

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "carrowen.h"

namespace {

const int kMessageSize = 64;
const unsigned kTimeoutMicroseconds = 10000;
const int kTimeoutMilliseconds = 10;
const int kRounds = 15;
const int kPairsPerRound = 100000;
// Two threads on a loaded machine share cores now and then; more, shorter
// rounds let both sides meet the undisturbed case.
const int kStreamRounds = 31;
const int kStreamPerRound = 50000;

using Clock = std::chrono::steady_clock;

// The baseline: a pipe with both ends non-blocking.
struct BarePipe {
    int readFd;
    int writeFd;
    BarePipe() {
        int ends[2];
        if (pipe2(ends, O_NONBLOCK) != 0) {
            perror("pipe2");
            _exit(1);
        }
        readFd = ends[0];
        writeFd = ends[1];
    }
    ~BarePipe() {
        close(readFd);
        close(writeFd);
    }
};

bool waitFor(int fd, short events, int timeoutMilliseconds) {
    struct pollfd entry = {fd, events, 0};
    return poll(&entry, 1, timeoutMilliseconds) > 0;
}

// Each workload returns how many messages it moved; failures end it early.
using Workload = long (*)(int count);

long bareWithoutWait(int count) {
    BarePipe bare;
    char message[kMessageSize] = {1}, buffer[kMessageSize];
    for (int i = 0; i < count; i++) {
        if (write(bare.writeFd, message, kMessageSize) != kMessageSize) return i;
        if (read(bare.readFd, buffer, kMessageSize) != kMessageSize) return i;
    }
    return count;
}

long queueWithoutWait(int count) {
    MessageQueue *queue = MessageQueueCreate(kMessageSize);
    char message[kMessageSize] = {1}, buffer[kMessageSize];
    int i = 0;
    for (; i < count; i++) {
        if (MessageQueueEnqueue(queue, message, 0) != 0) break;
        if (MessageQueueDequeue(queue, buffer, 0) != kMessageSize) break;
    }
    MessageQueueDelete(queue);
    return i;
}

long bareWithTimeout(int count) {
    BarePipe bare;
    char message[kMessageSize] = {1}, buffer[kMessageSize];
    for (int i = 0; i < count; i++) {
        waitFor(bare.writeFd, POLLOUT, kTimeoutMilliseconds);
        if (write(bare.writeFd, message, kMessageSize) != kMessageSize) return i;
        waitFor(bare.readFd, POLLIN, kTimeoutMilliseconds);
        if (read(bare.readFd, buffer, kMessageSize) != kMessageSize) return i;
    }
    return count;
}

long queueWithTimeout(int count) {
    MessageQueue *queue = MessageQueueCreate(kMessageSize);
    char message[kMessageSize] = {1}, buffer[kMessageSize];
    int i = 0;
    for (; i < count; i++) {
        if (MessageQueueEnqueue(queue, message, kTimeoutMicroseconds) != 0) break;
        if (MessageQueueDequeue(queue, buffer, kTimeoutMicroseconds) != kMessageSize) break;
    }
    MessageQueueDelete(queue);
    return i;
}

// A producer thread streams `count` messages; the consumer waits in poll and
// takes one message per readable event.
long bareStream(int count) {
    BarePipe bare;
    std::thread producer([&bare, count] {
        char message[kMessageSize] = {1};
        for (int i = 0; i < count;) {
            waitFor(bare.writeFd, POLLOUT, kTimeoutMilliseconds);
            if (write(bare.writeFd, message, kMessageSize) == kMessageSize) i++;
        }
    });
    char buffer[kMessageSize];
    long received = 0;
    while (received < count && waitFor(bare.readFd, POLLIN, 1000)) {
        if (read(bare.readFd, buffer, kMessageSize) == kMessageSize) received++;
    }
    producer.join();
    return received;
}

long queueStream(int count) {
    MessageQueue *queue = MessageQueueCreate(kMessageSize);
    std::thread producer([queue, count] {
        char message[kMessageSize] = {1};
        for (int i = 0; i < count;) {
            if (MessageQueueEnqueue(queue, message, kTimeoutMicroseconds) == 0) i++;
        }
    });
    char buffer[kMessageSize];
    long received = 0;
    int fd = GetMessageQueueFd(queue);
    while (received < count && waitFor(fd, POLLIN, 1000)) {
        if (MessageQueueDequeue(queue, buffer, 0) == kMessageSize) received++;
    }
    producer.join();
    MessageQueueDelete(queue);
    return received;
}

double perSecond(Workload workload, int count) {
    Clock::time_point start = Clock::now();
    long moved = workload(count);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (moved != count) {
        fprintf(stderr, "carrowen_bench: a round moved %ld of %d messages\n", moved, count);
        _exit(1);
    }
    return (double)moved / seconds;
}

void compare(const char *what, const char *unit, Workload bare, Workload queue, int rounds, int count) {
    double bestBare = 0, bestQueue = 0;
    for (int round = 0; round < rounds; round++) {
        // Who goes first alternates, so neither side always meets a warm cache.
        bool bareFirst = round % 2 == 0;
        double firstRate = perSecond(bareFirst ? bare : queue, count);
        double secondRate = perSecond(bareFirst ? queue : bare, count);
        double bareRate = bareFirst ? firstRate : secondRate;
        double queueRate = bareFirst ? secondRate : firstRate;
        if (bareRate > bestBare) bestBare = bareRate;
        if (queueRate > bestQueue) bestQueue = queueRate;
    }
    printf("%-38s %-8s %12.0f %12.0f %8.3fx\n", what, unit, bestBare, bestQueue, bestQueue / bestBare);
    fflush(stdout);
}

}  // namespace

int main() {
    printf("libcarrowen queue vs bare non-blocking pipe: %d-byte messages, time-out %u us, best round of each\n",
           kMessageSize, kTimeoutMicroseconds);
    printf("%-38s %-8s %12s %12s %9s\n", "operation", "unit", "bare pipe", "queue", "queue/bare");
    compare("enqueue+dequeue, no wait", "pairs/s", bareWithoutWait, queueWithoutWait, kRounds, kPairsPerRound);
    compare("enqueue+dequeue, time-out", "pairs/s", bareWithTimeout, queueWithTimeout, kRounds, kPairsPerRound);
    compare("producer thread -> poll-loop consumer", "msgs/s", bareStream, queueStream, kStreamRounds, kStreamPerRound);
    return 0;
}
