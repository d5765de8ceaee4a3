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

#ifndef MESSAGE_LOG_LEVEL
#define MESSAGE_LOG_LEVEL 3  // Fatal, Error and Warning
#endif

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

static struct timespec deadlineAfter(unsigned timeoutMicroseconds) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += (time_t)(timeoutMicroseconds / 1000000U);
    deadline.tv_nsec += (long)(timeoutMicroseconds % 1000000U) * 1000L;
    if (deadline.tv_nsec >= kNanosecondsPerSecond) {
        deadline.tv_sec++;
        deadline.tv_nsec -= kNanosecondsPerSecond;
    }
    return deadline;
}

// Time left until `deadline`, never negative.  Returns false once it has passed.
static bool timeLeftUntil(const struct timespec *deadline, struct timespec *left) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    left->tv_sec = deadline->tv_sec - now.tv_sec;
    left->tv_nsec = deadline->tv_nsec - now.tv_nsec;
    if (left->tv_nsec < 0) {
        left->tv_sec--;
        left->tv_nsec += kNanosecondsPerSecond;
    }
    if (left->tv_sec < 0 || (left->tv_sec == 0 && left->tv_nsec == 0)) {
        left->tv_sec = 0;
        left->tv_nsec = 0;
        return false;
    }
    return true;
}

// Waits until `fd` is ready for `events` or `deadline` passes.  Returns 1 when
// ready, 0 when the time ran out, -1 when the wait failed.  A signal does not
// end the wait early: it resumes with the time that is left.
static int waitUntilReady(int fd, short events, const struct timespec *deadline) {
    for (;;) {
        struct timespec left;
        timeLeftUntil(deadline, &left);
        struct pollfd entry = {fd, events, 0};
        int ready = ppoll(&entry, 1, &left, nullptr);
        if (ready >= 0 || errno != EINTR) return ready;
    }
}

// True when an attempt that found the pipe full (or empty) after the wait
// reported it ready lost a race with another thread and may wait again.
static bool mayWaitAgain(ssize_t transferred, int ready, const struct timespec *deadline) {
    struct timespec left;
    return transferred < 0 && errno == EAGAIN && ready > 0 && timeLeftUntil(deadline, &left);
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
    ssize_t written;
    if (timeout == 0) {
        written = write(queue->writeFd, message, (size_t)queue->size);
    } else {
        struct timespec deadline = deadlineAfter(timeout);
        int ready;
        do {
            ready = waitUntilReady(queue->writeFd, POLLOUT, &deadline);
            if (ready < 0) {
                QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR, "select return value = [%d].\n",
                            ready);
                return -1;
            }
            written = write(queue->writeFd, message, (size_t)queue->size);
        } while (mayWaitAgain(written, ready, &deadline));
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
    ssize_t got;
    if (timeout == 0) {
        got = read(queue->readFd, buffer, (size_t)queue->size);
    } else {
        struct timespec deadline = deadlineAfter(timeout);
        int ready;
        do {
            ready = waitUntilReady(queue->readFd, POLLIN, &deadline);
            QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_DEBUG, "select ret[%d].\n", ready);
            if (ready < 0) {
                QUILLON_LOG(g_messageLogLevel, g_moduleMessageNO, QUILLON_ERROR, "select return value = [%d].\n",
                            ready);
                return -1;
            }
            got = read(queue->readFd, buffer, (size_t)queue->size);
        } while (mayWaitAgain(got, ready, &deadline));
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
