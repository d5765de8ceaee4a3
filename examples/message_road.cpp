#include "message_road.h"

#include "demo_log.h"
#include "ftp_events.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

static int g_demoLogLevel = DEMO_LOG_LEVEL;

namespace {

struct DemoRecord {
    uint32_t producer;
    uint32_t sequence;
    uint64_t sentAtNs;  // CLOCK_MONOTONIC
    char text[48];
};
static_assert(sizeof(DemoRecord) == kRecordSize);

// Producers wait at most this long for room, as the road prescribes.
constexpr unsigned kEnqueueTimeoutUs = 10000;

uint64_t MonotonicNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + now.tv_nsec;
}

// Retries after EINTR with the time that is left, so a stray signal neither
// shortens nor lengthens a wait.
int PollFor(struct pollfd *fds, nfds_t count, int timeoutMs) {
    uint64_t deadline = MonotonicNs() + uint64_t(timeoutMs) * 1000000u;
    for (;;) {
        int ready = poll(fds, count, timeoutMs);
        if (ready >= 0 || errno != EINTR) return ready;
        if (timeoutMs > 0) {
            uint64_t now = MonotonicNs();
            timeoutMs = now >= deadline ? 0 : int((deadline - now) / 1000000u);
        }
    }
}

void AddToCounter(int eventFd) {
    uint64_t one = 1;
    while (write(eventFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// The stop descriptor is never read, so once raised it wakes every producer.
struct Producer {
    unsigned id = 0;
    MessageQueue *queue = nullptr;
    int stopFd = -1;
    int doneFd = -1;
    unsigned intervalMs = 0;
    uint64_t sent = 0;
    uint64_t failures = 0;
};

bool StopRequested(int stopFd, unsigned waitMs) {
    struct pollfd entry = {stopFd, POLLIN, 0};
    return PollFor(&entry, 1, int(waitMs)) > 0;
}

void ProduceUntilStopped(Producer *producer) {
    uint32_t sequence = 0;
    do {
        DemoRecord record = {};
        record.producer = producer->id;
        record.sequence = sequence;
        record.sentAtNs = MonotonicNs();
        snprintf(record.text, sizeof record.text, "producer %u record %u", producer->id, sequence);
        // A refused record keeps its sequence number and goes again next turn.
        if (MessageQueueEnqueue(producer->queue, &record, kEnqueueTimeoutUs) == 0) {
            producer->sent++;
            sequence++;
        } else {
            producer->failures++;
        }
    } while (!StopRequested(producer->stopFd, producer->intervalMs));
    AddToCounter(producer->doneFd);
}

struct Consumer {
    MessageQueue *queue = nullptr;
    FtpServer *ftp = nullptr;
    int signalFd = -1;
    int stopFd = -1;
    int doneFd = -1;
    unsigned producers = 0;
    unsigned producersDone = 0;
    std::vector<uint32_t> nextSequence;
    RoadTotals *totals = nullptr;
    uint64_t reportedPassed = 0;
    uint64_t latencyNsSinceReport = 0;
};

void CheckRecord(Consumer *consumer, const DemoRecord &record) {
    consumer->totals->passed++;
    if (record.producer >= consumer->nextSequence.size() ||
        record.sequence != consumer->nextSequence[record.producer]) {
        consumer->totals->outOfOrder++;
        DEMO_LOG(g_demoLogLevel, QUILLON_ERROR, "record [%.48s] is out of order.\n", record.text);
    }
    if (record.producer < consumer->nextSequence.size())
        consumer->nextSequence[record.producer] = record.sequence + 1;
    consumer->latencyNsSinceReport += MonotonicNs() - record.sentAtNs;
}

// Called once the queue's descriptor is readable, so it never waits.
void DequeueOne(Consumer *consumer) {
    DemoRecord record;
    if (MessageQueueDequeue(consumer->queue, &record, 0) == kRecordSize) CheckRecord(consumer, record);
    else consumer->totals->dequeueFailures++;
}

void ReportProgress(Consumer *consumer, unsigned periodSeconds) {
    uint64_t recent = consumer->totals->passed - consumer->reportedPassed;
    uint64_t meanLatencyUs = recent ? consumer->latencyNsSinceReport / recent / 1000 : 0;
    DEMO_LOG(g_demoLogLevel, QUILLON_INFO,
             "passed [%llu] messages, [%llu] in the last [%u] s, mean latency [%llu] us.\n",
             (unsigned long long)consumer->totals->passed, (unsigned long long)recent, periodSeconds,
             (unsigned long long)meanLatencyUs);
    consumer->reportedPassed = consumer->totals->passed;
    consumer->latencyNsSinceReport = 0;
}

void TakeSignal(Consumer *consumer) {
    struct signalfd_siginfo info;
    if (read(consumer->signalFd, &info, sizeof info) != sizeof info) return;
    if (consumer->totals->stopSignal) return;
    consumer->totals->stopSignal = int(info.ssi_signo);
    DEMO_LOG(g_demoLogLevel, QUILLON_INFO, "SIG%s: stopping the producers.\n", sigabbrev_np(int(info.ssi_signo)));
    AddToCounter(consumer->stopFd);
    if (consumer->ftp) StopFtpServer(consumer->ftp);
}

void TakeFinishedProducers(Consumer *consumer) {
    uint64_t finished = 0;
    if (read(consumer->doneFd, &finished, sizeof finished) == sizeof finished)
        consumer->producersDone += unsigned(finished);
}

void ConsumeUntilDrained(Consumer *consumer, unsigned reportSeconds) {
    enum { kQueue, kSignal, kDone, kFtp };
    struct pollfd fds[4] = {{GetMessageQueueFd(consumer->queue), POLLIN, 0},
                            {consumer->signalFd, POLLIN, 0},
                            {consumer->doneFd, POLLIN, 0},
                            {consumer->ftp ? FtpServerEventFd(consumer->ftp) : -1, POLLIN, 0}};
    const uint64_t periodNs = uint64_t(reportSeconds) * 1000000000u;
    uint64_t nextReport = MonotonicNs() + periodNs;
    for (;;) {
        // With every producer gone, what is left is drained without waiting.
        bool draining = consumer->producersDone == consumer->producers;
        uint64_t now = MonotonicNs();
        int timeoutMs = draining || now >= nextReport ? 0 : int((nextReport - now + 999999) / 1000000);
        if (PollFor(fds, 4, timeoutMs) < 0) {
            DEMO_LOG(g_demoLogLevel, QUILLON_ERROR, "poll failed: %s.\n", strerror(errno));
            return;
        }
        bool queueReadable = fds[kQueue].revents & POLLIN;
        if (queueReadable) DequeueOne(consumer);
        if (fds[kSignal].revents & POLLIN) TakeSignal(consumer);
        if (fds[kDone].revents & POLLIN) TakeFinishedProducers(consumer);
        if (fds[kFtp].revents & POLLIN) LogFtpEvents(consumer->ftp);
        if (draining && !queueReadable) return;
        if (MonotonicNs() >= nextReport) {
            ReportProgress(consumer, reportSeconds);
            nextReport += periodNs;
        }
    }
}

struct EventFds {
    int stop = eventfd(0, EFD_CLOEXEC);
    int done = eventfd(0, EFD_CLOEXEC);
    ~EventFds() {
        if (stop >= 0) close(stop);
        if (done >= 0) close(done);
    }
};

// Returns false, with the producers already stopped and joined, when a
// thread cannot be started.
bool StartThread(std::vector<std::thread> *threads, void (*entry)(Producer *), Producer *producer) {
    try {
        threads->emplace_back(entry, producer);
        return true;
    } catch (const std::system_error &failure) {
        DEMO_LOG(g_demoLogLevel, QUILLON_FATAL, "cannot start a producer thread: %s.\n", failure.what());
        return false;
    }
}

void CollectProducers(int stopFd, std::vector<std::thread> *threads, const std::vector<Producer> &producers,
                      RoadTotals *totals) {
    AddToCounter(stopFd);
    for (std::thread &thread : *threads) thread.join();
    for (const Producer &producer : producers) {
        totals->sent += producer.sent;
        totals->enqueueFailures += producer.failures;
    }
}

} // namespace

bool RunMessageRoad(MessageQueue *queue, const RoadSettings &settings, int signalFd, FtpServer *ftp,
                    RoadTotals *totals) {
    EventFds events;
    if (events.stop < 0 || events.done < 0) {
        DEMO_LOG(g_demoLogLevel, QUILLON_FATAL, "eventfd failed: %s.\n", strerror(errno));
        return false;
    }
    uint64_t startedNs = MonotonicNs();
    std::vector<Producer> producers(settings.producers);
    std::vector<std::thread> producerThreads;
    for (unsigned id = 0; id < settings.producers; id++) {
        producers[id] = {id, queue, events.stop, events.done, settings.intervalMs, 0, 0};
        if (!StartThread(&producerThreads, ProduceUntilStopped, &producers[id])) {
            CollectProducers(events.stop, &producerThreads, producers, totals);
            return false;
        }
    }
    Consumer consumer;
    consumer.queue = queue;
    consumer.ftp = ftp;
    consumer.signalFd = signalFd;
    consumer.stopFd = events.stop;
    consumer.doneFd = events.done;
    consumer.producers = settings.producers;
    consumer.nextSequence.assign(settings.producers, 0);
    consumer.totals = totals;
    // The consumer runs on this thread's behalf but on a thread of its own, as
    // a host's event loop would.
    try {
        std::thread(ConsumeUntilDrained, &consumer, settings.reportSeconds).join();
    } catch (const std::system_error &failure) {
        DEMO_LOG(g_demoLogLevel, QUILLON_FATAL, "cannot start the consumer thread: %s.\n", failure.what());
        CollectProducers(events.stop, &producerThreads, producers, totals);
        return false;
    }
    // Stops the producers too when the consumer left early (poll failed).
    CollectProducers(events.stop, &producerThreads, producers, totals);
    totals->seconds = double(MonotonicNs() - startedNs) / 1e9;
    return true;
}
