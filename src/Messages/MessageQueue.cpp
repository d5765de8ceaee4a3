// The pipe message queue.  No locks: every message is written and read in one
// system call of at most PIPE_BUF bytes, which the pipe keeps whole and in
// order, so producers and consumers on other threads never see a torn message.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "MessageType.h"
#include "quillon.h"

static int g_messageLogLevel = MESSAGE_LOG_LEVEL;

// Fixed when this file is compiled.
static const char kBuildTimeLine[] = "Message Module Build time :" __DATE__ " " __TIME__ " \n";

static int MessageQueueBuildTime(void) {
    QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_INFO, "%s", kBuildTimeLine);
    return 0;
}

// ---------------------------------------------------------------------------
// Waiting.  poll, not select: a descriptor numbered 1024 or above would
// overflow a select set.

static const long kNanosecondsPerSecond = 1000000000L;
static const long kNanosecondsPerMillisecond = 1000000L;

// A wait of a time-out that a signal or a lost race may resume with the time
// that is left.
struct TimedWait {
    struct timespec deadline;  // on CLOCK_MONOTONIC
    struct timespec left;      // for the next poll
};

static struct timespec timespecSum(struct timespec a, struct timespec b) {
    struct timespec sum = {a.tv_sec + b.tv_sec, a.tv_nsec + b.tv_nsec};
    if (sum.tv_nsec >= kNanosecondsPerSecond) {
        sum.tv_sec++;
        sum.tv_nsec -= kNanosecondsPerSecond;
    }
    return sum;
}

static void startWait(TimedWait *wait, unsigned timeoutMicroseconds) {
    wait->left.tv_sec = (time_t)(timeoutMicroseconds / 1000000U);
    wait->left.tv_nsec = (long)(timeoutMicroseconds % 1000000U) * 1000L;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    wait->deadline = timespecSum(now, wait->left);
}

// Sets the time left until the deadline, never negative.  Returns false once
// it has passed.
static bool resumeWait(TimedWait *wait) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    struct timespec left = {wait->deadline.tv_sec - now.tv_sec, wait->deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
        left.tv_sec--;
        left.tv_nsec += kNanosecondsPerSecond;
    }
    if (left.tv_sec < 0 || (left.tv_sec == 0 && left.tv_nsec == 0)) {
        wait->left.tv_sec = 0;
        wait->left.tv_nsec = 0;
        return false;
    }
    wait->left = left;
    return true;
}

// poll() costs less than ppoll() (bench/messages measures the difference),
// and whole milliseconds, the usual time-outs, need nothing finer.
static int pollOnce(struct pollfd *entry, const struct timespec *left) {
    if (left->tv_nsec % kNanosecondsPerMillisecond == 0) {
        return poll(entry, 1, (int)(left->tv_sec * 1000 + left->tv_nsec / kNanosecondsPerMillisecond));
    }
    return ppoll(entry, 1, left, nullptr);
}

// Waits until `fd` is ready for `events` or the wait's time runs out.
// Returns 1 when ready, 0 when the time ran out, -1 when the wait failed.  A
// signal does not end the wait early.
static int waitUntilReady(int fd, short events, TimedWait *wait) {
    for (;;) {
        struct pollfd entry = {fd, events, 0};
        int ready = pollOnce(&entry, &wait->left);
        if (ready >= 0 || errno != EINTR) return ready;
        resumeWait(wait);
    }
}

// Moves one message: writes it for POLLOUT, reads it for POLLIN.  With a
// time-out it first waits for the pipe to be ready, and when another thread
// took the room or the message the wait reported, waits again for the time
// that is left.  *waitResult gets the last wait's result: 1 ready, 0 the time
// ran out (or no time-out), -1 the wait failed: then nothing moves and the
// result is -1.
static ssize_t moveMessage(const MessageQueue *queue, short events, void *bytes, unsigned timeout, int *waitResult) {
    int fd = events == POLLOUT ? queue->writeFd : queue->readFd;
    size_t size = (size_t)queue->size;
    TimedWait wait;
    if (timeout != 0) startWait(&wait, timeout);
    for (;;) {
        *waitResult = timeout != 0 ? waitUntilReady(fd, events, &wait) : 0;
        if (*waitResult < 0) return -1;
        ssize_t moved = events == POLLOUT ? write(fd, bytes, size) : read(fd, bytes, size);
        bool lostRace = moved < 0 && errno == EAGAIN && *waitResult > 0;
        if (!lostRace || !resumeWait(&wait)) return moved;
    }
}

// ---------------------------------------------------------------------------

static bool sizeFitsOneWrite(int size) { return size >= 0 && size <= PIPE_BUF; }

MessageQueue *MessageQueueCreate(int size) {
    MessageQueueBuildTime();
    if (!sizeFitsOneWrite(size)) {
        QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR,
                    "messageQueue size = [%d] is out of range [0, %d].\n", size, PIPE_BUF);
        return nullptr;
    }
    MessageQueue *queue = (MessageQueue *)malloc(sizeof *queue);
    if (queue == nullptr) {
        QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR, "malloc error.\n");
        return nullptr;
    }
    // No close-on-exec: child processes of the host inherit the queue.
    int ends[2];
    if (pipe2(ends, O_NONBLOCK) != 0) {
        free(queue);
        QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR, "pipe error.\n");
        return nullptr;
    }
    queue->size = size;
    queue->readFd = ends[0];
    queue->writeFd = ends[1];
    QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_DEBUG, "Message Queue Address: [%p]\n", (void *)queue);
    return queue;
}

int MessageQueueDelete(MessageQueue *queue) {
    if (queue == nullptr) return -1;
    close(queue->readFd);
    close(queue->writeFd);
    free(queue);
    return 0;
}

int MessageQueueEnqueue(MessageQueue *queue, const void *message, unsigned timeout) {
    if (queue == nullptr) {
        QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR, "messageQueue=[%p].\n", (void *)queue);
        return -1;
    }
    QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_DEBUG, "Enqueue Message Queue Address: [%p]\n",
                (void *)queue);
    int waited = 0;
    // write() only reads the message.
    ssize_t written = moveMessage(queue, POLLOUT, const_cast<void *>(message), timeout, &waited);
    if (waited < 0) {
        QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR, "select return value = [%d].\n", waited);
        return -1;
    }
    if (written == queue->size) return 0;
    QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR,
                "write return value = [%d], messageQueue size = [%d].\n", (int)written, queue->size);
    return -1;
}

int MessageQueueDequeue(MessageQueue *queue, void *buffer, unsigned timeout) {
    if (queue == nullptr) {
        QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR, "messageQueue = [%p].\n", (void *)queue);
        return -1;
    }
    QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_DEBUG, "Dequeue Message Queue Address: [%p]\n",
                (void *)queue);
    int waited = 0;
    ssize_t got = moveMessage(queue, POLLIN, buffer, timeout, &waited);
    if (timeout != 0) QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_DEBUG, "select ret[%d].\n", waited);
    if (waited < 0) {
        QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR, "select return value = [%d].\n", waited);
        return -1;
    }
    if (got == queue->size) return queue->size;
    QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR, "strerror: %s\n", strerror(errno));
    QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR,
                "read return value = [%d], messageQueue->size = [%d]\n", (int)got, queue->size);
    return -1;
}

int GetMessageQueueFd(MessageQueue *queue) {
    if (queue == nullptr) {
        QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR, "messageQueue = [%p].\n", (void *)queue);
        return -1;
    }
    return queue->readFd;
}
