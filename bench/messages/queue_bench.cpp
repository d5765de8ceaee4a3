// Throughput of the message queue beside a bare non-blocking pipe making the
// same system calls, measured in the same run.  Rounds of the two alternate,
// and rates are taken per second of CPU time, to keep other load on the
// machine out of the comparison.

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "carrowen.h"
#include "../rounds.h"

namespace {

const int kMessageSize = 64;
const unsigned kTimeoutMicroseconds = 10000;
const int kTimeoutMilliseconds = 10;
// The streaming producer waits longer, so that a consumer held up by other
// load never makes an enqueue fail (and log) mid-run.
const unsigned kStreamTimeoutMicroseconds = 1000000;
const int kStreamTimeoutMilliseconds = 1000;
const int kRounds = 15;
const int kPairsPerRound = 100000;
const int kStreamRounds = 31;
const int kStreamPerRound = 50000;

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

template <unsigned timeout>
long queuePairs(int count) {
    MessageQueue *queue = MessageQueueCreate(kMessageSize);
    char message[kMessageSize] = {1}, buffer[kMessageSize];
    int i = 0;
    for (; i < count; i++) {
        if (MessageQueueEnqueue(queue, message, timeout) != 0) break;
        if (MessageQueueDequeue(queue, buffer, timeout) != kMessageSize) break;
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

// Producer and consumer each keep a core of their own where there are two, so
// no round depends on whether the scheduler happened to put them together.
void pinToCpu(int cpu) {
    if (std::thread::hardware_concurrency() < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// A producer thread streams `count` messages; the consumer waits in poll and
// takes one message per readable event.
long bareStream(int count) {
    pinToCpu(0);
    BarePipe bare;
    std::thread producer([&bare, count] {
        pinToCpu(1);
        char message[kMessageSize] = {1};
        for (int i = 0; i < count;) {
            waitFor(bare.writeFd, POLLOUT, kStreamTimeoutMilliseconds);
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
    pinToCpu(0);
    MessageQueue *queue = MessageQueueCreate(kMessageSize);
    std::thread producer([queue, count] {
        pinToCpu(1);
        char message[kMessageSize] = {1};
        for (int i = 0; i < count;) {
            if (MessageQueueEnqueue(queue, message, kStreamTimeoutMicroseconds) == 0) i++;
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

using bench::Rates;
using bench::secondsOn;

// One round's rates, CPU time on `cpuClock`.
Rates measure(Workload workload, int count, clockid_t cpuClock) {
    double wallStart = secondsOn(CLOCK_MONOTONIC), cpuStart = secondsOn(cpuClock);
    long moved = workload(count);
    double cpuSeconds = secondsOn(cpuClock) - cpuStart, wallSeconds = secondsOn(CLOCK_MONOTONIC) - wallStart;
    if (moved != count) {
        fprintf(stderr, "carrowen_bench: a round moved %ld of %d messages\n", moved, count);
        _exit(1);
    }
    return Rates{(double)moved / wallSeconds, (double)moved / cpuSeconds};
}

double best(const std::vector<double> &values) { return *std::max_element(values.begin(), values.end()); }

void printHeader(const char *baseline, const char *measured) {
    printf("%-40s %-11s %12s %12s %6s/%s\n", "operation", "unit", baseline, measured, measured, baseline);
}

void printRow(const char *what, const char *unit, double bare, double queue) {
    printf("%-40s %-11s %12.0f %12.0f %8.3fx\n", what, unit, bare, queue, queue / bare);
}

// Alternating rounds of both; prints the median CPU-time rates, and with
// `showWall` also the best wall-clock rates.
void compare(const char *what, Workload bare, Workload queue, int rounds, int count, clockid_t cpuClock,
             bool showWall) {
    bench::Series bareRates, queueRates;
    bench::alternateRounds(
        rounds, [&] { return measure(bare, count, cpuClock); }, [&] { return measure(queue, count, cpuClock); },
        &bareRates, &queueRates);
    printRow(what, "/cpu-s", bareRates.medians().cpu, queueRates.medians().cpu);
    if (showWall) printRow("  the same, wall clock (best round)", "/s", best(bareRates.wall), best(queueRates.wall));
    fflush(stdout);
}

}  // namespace

int main() {
    printf("libcarrowen queue vs bare non-blocking pipe: %d-byte messages, time-outs %u us (stream %u us)\n",
           kMessageSize, kTimeoutMicroseconds, kStreamTimeoutMicroseconds);
    printf("rates are medians of %d rounds (%d for the stream) per second of CPU time\n", kRounds, kStreamRounds);
    printHeader("bare", "queue");
    compare("enqueue+dequeue pairs, no wait", bareWithoutWait, queuePairs<0>, kRounds, kPairsPerRound,
            CLOCK_THREAD_CPUTIME_ID, false);
    compare("enqueue+dequeue pairs, time-out 10 ms", bareWithTimeout, queuePairs<kTimeoutMicroseconds>, kRounds,
            kPairsPerRound, CLOCK_THREAD_CPUTIME_ID, false);
    // Both threads' CPU time: the producer's and the consumer's.
    compare("producer thread -> poll-loop consumer", bareStream, queueStream, kStreamRounds, kStreamPerRound,
            CLOCK_PROCESS_CPUTIME_ID, true);

    // A time-out 1 us past whole milliseconds waits in ppoll instead.
    printf("\nthe queue's waits: poll for whole milliseconds, beside ppoll as for any other time-out\n");
    printHeader("ppoll", "poll");
    compare("enqueue+dequeue pairs, time-out 10 ms", queuePairs<kTimeoutMicroseconds + 1>,
            queuePairs<kTimeoutMicroseconds>, kRounds, kPairsPerRound, CLOCK_THREAD_CPUTIME_ID, false);
    return 0;
}
