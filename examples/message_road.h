// The libraries' typical road: producer threads enqueue 64-byte records, a
// consumer thread waits on the queue's descriptor in its poll loop and
// dequeues without waiting.
#ifndef QUILLON_DEMO_MESSAGE_ROAD_H
#define QUILLON_DEMO_MESSAGE_ROAD_H

#include <carrowen.h>
#include <cstdint>
#include <osprel.h>

struct RoadSettings {
    unsigned producers = 2;
    unsigned intervalMs = 100;   // pause between one producer's records
    unsigned reportSeconds = 5;  // period of the consumer's progress line
};

struct RoadTotals {
    uint64_t sent = 0;             // enqueues that returned 0
    uint64_t enqueueFailures = 0;  // enqueues that returned -1 (queue full)
    uint64_t passed = 0;           // records dequeued whole
    uint64_t dequeueFailures = 0;  // dequeues that returned -1
    uint64_t outOfOrder = 0;       // records not next in their producer's sequence
    int stopSignal = 0;
    double seconds = 0;
};

// The size of every record on the queue.
constexpr int kRecordSize = 64;

// Runs the road on `queue` (created for kRecordSize) until a signal can be
// read from `signalFd`, then stops the producers (and the FTP server `ftp`,
// unless null), drains the queue and fills `totals`.  The consumer's loop
// logs the FTP server's events meanwhile.  Returns false, having logged why,
// if the road cannot start.
bool RunMessageRoad(MessageQueue *queue, const RoadSettings &settings, int signalFd, FtpServer *ftp,
                    RoadTotals *totals);

#endif
