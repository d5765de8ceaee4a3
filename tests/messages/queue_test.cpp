// The pipe message queue: messages, waits, limits and every line it logs,
// byte for byte, with host and clock pinned.

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "capture.h"
#include "carrowen.h"
#include "message_lines.h"

extern "C" int typicalRoadFromC(const char record[64], char received[64]);

namespace {

using Clock = std::chrono::steady_clock;

class StartedMessageModule : public ::testing::Environment {
public:
    void SetUp() override {
        CapturedFd out(1);
        InitMessage();
        out.take();
        ASSERT_EQ(0, g_moduleMessageNO);
    }
};
const auto *startup = ::testing::AddGlobalTestEnvironment(new StartedMessageModule);

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void sleepMilliseconds(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// Message `sequence` of `producer`: both numbers up front, then bytes that
// differ from one message to the next.
std::string record(int producer, int sequence, int size) {
    std::string bytes((size_t)size, '\0');
    for (int i = 0; i < size; i++) bytes[(size_t)i] = (char)((producer * 31 + sequence * 7 + i) & 0xff);
    if (size >= 8) {
        memcpy(&bytes[0], &producer, 4);
        memcpy(&bytes[4], &sequence, 4);
    }
    return bytes;
}

// Deletes the queue at the end of a test.
struct OwnedQueue {
    explicit OwnedQueue(int size) : queue(MessageQueueCreate(size)) {}
    ~OwnedQueue() { MessageQueueDelete(queue); }
    OwnedQueue(const OwnedQueue &) = delete;
    OwnedQueue &operator=(const OwnedQueue &) = delete;
    MessageQueue *queue;
};

bool readable(int fd, int timeoutMilliseconds) {
    struct pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMilliseconds) == 1 && (entry.revents & POLLIN);
}

// Messages of `size` bytes never straddle a page of the pipe's buffer.
int capacityOf(MessageQueue *queue, int size) {
    long page = sysconf(_SC_PAGESIZE);
    long pipeBytes = fcntl(GetMessageQueueFd(queue), F_GETPIPE_SZ);
    return (int)(pipeBytes / page * (page / size));
}

std::string dequeued(MessageQueue *queue, int size, unsigned timeout, int *result) {
    std::string buffer((size_t)size, '\0');
    *result = MessageQueueDequeue(queue, buffer.data(), timeout);
    return buffer;
}

// Enqueues numbered messages without waiting until the queue refuses one.
int fill(MessageQueue *queue, int size) {
    int count = 0;
    while (MessageQueueEnqueue(queue, record(0, count, size).data(), 0) == 0) count++;
    return count;
}

std::string writeFailedLine(int size) {
    return queueLine("MessageQueueEnqueue", "write return value", 2,
                     "write return value = [-1], messageQueue size = [" + std::to_string(size) + "].\n");
}

std::string readFailedLines(const std::string &errorText, int size) {
    return queueLine("MessageQueueDequeue", "strerror: %s", 2, "strerror: " + errorText + "\n") +
           queueLine("MessageQueueDequeue", "read return value", 2,
                     "read return value = [-1], messageQueue->size = [" + std::to_string(size) + "]\n");
}

const char kEmpty[] = "Resource temporarily unavailable";

// ---------------------------------------------------------------------------

TEST(MessageQueueRoundTrip, ThroughTheDescriptorInAPollLoop) {
    const int kSize = 64, kCount = 500;
    OwnedQueue owned(kSize);
    MessageQueue *queue = owned.queue;
    ASSERT_NE(queue, nullptr);
    CapturedFd out(1);

    std::thread producer([queue] {
        for (int i = 0; i < kCount; i++) EXPECT_EQ(0, MessageQueueEnqueue(queue, record(1, i, kSize).data(), 10000));
    });
    int fd = GetMessageQueueFd(queue);
    int received = 0;
    for (; received < kCount && readable(fd, 10000); received++) {
        int result;
        if (dequeued(queue, kSize, 0, &result) != record(1, received, kSize) || result != kSize) {
            ADD_FAILURE() << "message " << received << ": result " << result;
            break;
        }
    }
    producer.join();
    EXPECT_EQ(kCount, received);
    EXPECT_FALSE(readable(fd, 0));
    EXPECT_EQ("", out.take());
}

TEST(MessageQueueRoundTrip, TheTypicalRoadFromC) {
    CapturedFd out(1);
    std::string sent = record(6, 6, 64);
    char received[64] = {};
    EXPECT_EQ(64, typicalRoadFromC(sent.data(), received));
    EXPECT_EQ(sent, std::string(received, sizeof received));
    EXPECT_EQ("", out.take());
}

TEST(MessageQueueRoundTrip, DescriptorIsInheritableAndReadableWhileMessagesRemain) {
    OwnedQueue owned(16);
    MessageQueue *queue = owned.queue;
    ASSERT_NE(queue, nullptr);
    int fd = GetMessageQueueFd(queue);
    EXPECT_EQ(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_NE(0, fcntl(fd, F_GETFL) & O_NONBLOCK);

    EXPECT_FALSE(readable(fd, 0));
    ASSERT_EQ(0, MessageQueueEnqueue(queue, record(0, 0, 16).data(), 0));
    ASSERT_EQ(0, MessageQueueEnqueue(queue, record(0, 1, 16).data(), 0));
    int result;
    for (int i = 0; i < 2; i++) {
        EXPECT_TRUE(readable(fd, 0));
        EXPECT_EQ(record(0, i, 16), dequeued(queue, 16, 0, &result));
        EXPECT_EQ(16, result);
    }
    EXPECT_FALSE(readable(fd, 0));
}

// ---------------------------------------------------------------------------

TEST(MessageQueueCreate, TakesEverySizeAWriteKeepsWhole) {
    CapturedFd out(1);
    for (int size : {0, 1, 4096}) {
        OwnedQueue owned(size);
        EXPECT_NE(owned.queue, nullptr) << size;
    }
    EXPECT_EQ("", out.take());
}

TEST(MessageQueueCreate, RefusesASizeAWriteCouldSplitOrANegativeOne) {
    CapturedFd out(1);
    std::string expected;
    for (int size : {4097, INT_MAX, -1, INT_MIN}) {
        EXPECT_EQ(nullptr, MessageQueueCreate(size)) << size;
        expected += queueLine("MessageQueueCreate", "is out of range", 2,
                              "messageQueue size = [" + std::to_string(size) + "] is out of range [0, 4096].\n");
    }
    EXPECT_EQ(expected, out.take());
}

TEST(MessageQueueCreate, ReportsAPipeItCannotOpen) {
    CapturedFd out(1);
    // Leave exactly one descriptor free: too few for a pipe, enough for the
    // logging library's interface query.
    int lowestFree = open("/dev/null", O_RDONLY);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    struct rlimit limited = {(rlim_t)lowestFree + 1, saved.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limited));
    MessageQueue *queue = MessageQueueCreate(64);
    setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_EQ(nullptr, queue);
    EXPECT_EQ(queueLine("MessageQueueCreate", "pipe error", 2, "pipe error.\n"), out.take());
}

// ---------------------------------------------------------------------------

TEST(MessageQueueFill, HoldsWhatThePipeHoldsAndGivesItBackInOrder) {
    for (int size : {64, 100, 4096}) {
        SCOPED_TRACE("size " + std::to_string(size));
        OwnedQueue owned(size);
        MessageQueue *queue = owned.queue;
        ASSERT_NE(queue, nullptr);
        CapturedFd out(1);

        int count = fill(queue, size);
        EXPECT_EQ(capacityOf(queue, size), count);
        int result;
        for (int i = 0; i < count; i++) {
            ASSERT_EQ(record(0, i, size), dequeued(queue, size, 0, &result)) << "message " << i;
            ASSERT_EQ(size, result);
        }
        dequeued(queue, size, 0, &result);
        EXPECT_EQ(-1, result);
        EXPECT_EQ(writeFailedLine(size) + readFailedLines(kEmpty, size), out.take());

        // Both failures left the queue working.
        ASSERT_EQ(0, MessageQueueEnqueue(queue, record(2, 2, size).data(), 0));
        EXPECT_EQ(record(2, 2, size), dequeued(queue, size, 0, &result));
        EXPECT_EQ(size, result);
    }
}

// ---------------------------------------------------------------------------
// Time-outs.  Bounds are generous: the suite also runs under sanitizers on
// loaded machines.

class FullQueue : public ::testing::Test {
protected:
    static constexpr int kSize = 64;
    void SetUp() override {
        ASSERT_NE(owned_.queue, nullptr);
        CapturedFd out(1);
        ASSERT_GT(fill(owned_.queue, kSize), 0);
        out.take();
    }

    // Enqueues with `timeout`, expecting the full queue to refuse it.
    double secondsToRefuse(unsigned timeout) {
        CapturedFd out(1);
        Clock::time_point start = Clock::now();
        EXPECT_EQ(-1, MessageQueueEnqueue(owned_.queue, record(9, 9, kSize).data(), timeout));
        double seconds = secondsSince(start);
        EXPECT_EQ(writeFailedLine(kSize), out.take());
        return seconds;
    }

    OwnedQueue owned_{kSize};
};

TEST_F(FullQueue, EnqueueWithoutTimeOutFailsAtOnce) { EXPECT_LT(secondsToRefuse(0), 0.5); }

TEST_F(FullQueue, EnqueueWaitsHalfASecondThenFails) {
    double seconds = secondsToRefuse(500000);
    EXPECT_GE(seconds, 0.5);
    EXPECT_LT(seconds, 1.5);
}

TEST_F(FullQueue, EnqueueWaitsTwoAndAHalfSecondsThenFails) {
    double seconds = secondsToRefuse(2500000);
    EXPECT_GE(seconds, 2.5);
    EXPECT_LT(seconds, 3.5);
}

// The pipe frees room a page at a time, so the waiting producer gets in once
// a page's worth of messages has been taken out.
TEST_F(FullQueue, EnqueueGoesInAsSoonAsThereIsRoom) {
    MessageQueue *queue = owned_.queue;
    CapturedFd out(1);
    Clock::time_point start = Clock::now();
    std::thread producer([queue] { EXPECT_EQ(0, MessageQueueEnqueue(queue, record(5, 5, kSize).data(), 5000000)); });
    sleepMilliseconds(100);
    for (long i = 0; i < sysconf(_SC_PAGESIZE) / kSize; i++) {
        int result;
        dequeued(queue, kSize, 0, &result);
        EXPECT_EQ(kSize, result);
    }
    producer.join();
    EXPECT_LT(secondsSince(start), 1.5);
    EXPECT_EQ("", out.take());
}

TEST(EmptyQueue, DequeueWithoutTimeOutFailsAtOnce) {
    OwnedQueue owned(64);
    ASSERT_NE(owned.queue, nullptr);
    CapturedFd out(1);
    Clock::time_point start = Clock::now();
    int result;
    dequeued(owned.queue, 64, 0, &result);
    EXPECT_LT(secondsSince(start), 0.5);
    EXPECT_EQ(-1, result);
    EXPECT_EQ(readFailedLines(kEmpty, 64), out.take());
}

TEST(EmptyQueue, DequeueWaitsHalfASecondThenFails) {
    OwnedQueue owned(64);
    ASSERT_NE(owned.queue, nullptr);
    CapturedFd out(1);
    Clock::time_point start = Clock::now();
    int result;
    dequeued(owned.queue, 64, 500000, &result);
    double seconds = secondsSince(start);
    EXPECT_EQ(-1, result);
    EXPECT_GE(seconds, 0.5);
    EXPECT_LT(seconds, 1.5);
    EXPECT_EQ(readFailedLines(kEmpty, 64), out.take());
}

extern "C" void noteSignal(int) {}

TEST(EmptyQueue, ASignalDoesNotEndTheWait) {
    OwnedQueue owned(64);
    MessageQueue *queue = owned.queue;
    ASSERT_NE(queue, nullptr);
    struct sigaction action = {}, saved;
    action.sa_handler = noteSignal;  // no SA_RESTART: the wait sees EINTR
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &saved));
    CapturedFd out(1);

    std::string message;
    int result = 0;
    std::thread consumer([&] { message = dequeued(queue, 64, 3000000, &result); });
    sleepMilliseconds(100);
    pthread_kill(consumer.native_handle(), SIGUSR1);
    sleepMilliseconds(100);
    EXPECT_EQ(0, MessageQueueEnqueue(queue, record(3, 3, 64).data(), 0));
    consumer.join();
    sigaction(SIGUSR1, &saved, nullptr);

    EXPECT_EQ(64, result);
    EXPECT_EQ(record(3, 3, 64), message);
    EXPECT_EQ("", out.take());
}

// Consumers woken for the same message race for it.  The ones that lose wait
// on for the next message instead of failing before their time-out.
TEST(EmptyQueue, ConsumersThatLoseARaceWaitOn) {
    const int kSize = 64, kConsumers = 3, kMessages = 3000;
    OwnedQueue owned(kSize);
    MessageQueue *queue = owned.queue;
    ASSERT_NE(queue, nullptr);
    CapturedFd out(1);

    std::vector<int> received(kConsumers, 0);
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; c++) {
        consumers.emplace_back([&, c] {
            for (;;) {
                int result;
                std::string message = dequeued(queue, kSize, 3000000, &result);
                if (result != kSize) {
                    ADD_FAILURE() << "consumer " << c << " got " << result;
                    return;
                }
                if (message == record(9, 9, kSize)) return;  // the end
                received[(size_t)c]++;
            }
        });
    }
    for (int i = 0; i < kMessages; i++) {
        if (MessageQueueEnqueue(queue, record(1, i, kSize).data(), 3000000) != 0) {
            ADD_FAILURE() << "message " << i;
            break;
        }
        if (i % 64 == 0) std::this_thread::yield();
    }
    for (int c = 0; c < kConsumers; c++) EXPECT_EQ(0, MessageQueueEnqueue(queue, record(9, 9, kSize).data(), 3000000));
    for (std::thread &consumer : consumers) consumer.join();

    int total = 0;
    for (int count : received) total += count;
    EXPECT_EQ(kMessages, total);
    EXPECT_EQ("", out.take());
}

// ---------------------------------------------------------------------------

TEST(ZeroSizeQueue, PassesZeroByteMessagesAndNeverBecomesReadable) {
    OwnedQueue owned(0);
    MessageQueue *queue = owned.queue;
    ASSERT_NE(queue, nullptr);
    CapturedFd out(1);
    char byte = 'x';
    for (unsigned timeout : {0u, 10000u}) EXPECT_EQ(0, MessageQueueEnqueue(queue, &byte, timeout));
    EXPECT_FALSE(readable(GetMessageQueueFd(queue), 0));
    EXPECT_EQ(0, MessageQueueDequeue(queue, &byte, 0));

    // Nothing ever makes the pipe readable, so a timed dequeue waits it out.
    Clock::time_point start = Clock::now();
    EXPECT_EQ(0, MessageQueueDequeue(queue, &byte, 200000));
    double seconds = secondsSince(start);
    EXPECT_GE(seconds, 0.2);
    EXPECT_LT(seconds, 1.2);
    EXPECT_EQ('x', byte);
    EXPECT_EQ("", out.take());
}

// ---------------------------------------------------------------------------

TEST(NullArguments, EveryOperationOnANullQueueFails) {
    CapturedFd out(1);
    char buffer[64] = {};
    EXPECT_EQ(-1, MessageQueueEnqueue(nullptr, buffer, 0));
    EXPECT_EQ(-1, MessageQueueDequeue(nullptr, buffer, 1000));
    EXPECT_EQ(-1, GetMessageQueueFd(nullptr));
    EXPECT_EQ(-1, MessageQueueDelete(nullptr));
    EXPECT_EQ(queueLine("MessageQueueEnqueue", "messageQueue=[%p]", 2, "messageQueue=[(nil)].\n") +
                  queueLine("MessageQueueDequeue", "messageQueue = [%p]", 2, "messageQueue = [(nil)].\n") +
                  queueLine("GetMessageQueueFd", "messageQueue = [%p]", 2, "messageQueue = [(nil)].\n"),
              out.take());
}

TEST(NullArguments, ANullMessageFailsAndQueuesNothing) {
    OwnedQueue owned(64);
    ASSERT_NE(owned.queue, nullptr);
    CapturedFd out(1);
    EXPECT_EQ(-1, MessageQueueEnqueue(owned.queue, nullptr, 0));
    EXPECT_EQ(-1, MessageQueueEnqueue(owned.queue, nullptr, 10000));
    EXPECT_FALSE(readable(GetMessageQueueFd(owned.queue), 0));
    EXPECT_EQ(writeFailedLine(64) + writeFailedLine(64), out.take());
}

TEST(NullArguments, ANullBufferFailsAndLeavesTheMessageQueued) {
    OwnedQueue owned(64);
    ASSERT_NE(owned.queue, nullptr);
    ASSERT_EQ(0, MessageQueueEnqueue(owned.queue, record(4, 4, 64).data(), 0));
    CapturedFd out(1);
    EXPECT_EQ(-1, MessageQueueDequeue(owned.queue, nullptr, 0));
    EXPECT_EQ(readFailedLines("Bad address", 64), out.take());
    int result;
    EXPECT_EQ(record(4, 4, 64), dequeued(owned.queue, 64, 0, &result));
    EXPECT_EQ(64, result);
}

// ---------------------------------------------------------------------------

// Four producers against one consumer, every message whole and each
// producer's in order.  Producers outrun the consumer and wait for room.
void streamFromFourProducers(int size, int each) {
    const int kProducers = 4;
    OwnedQueue owned(size);
    MessageQueue *queue = owned.queue;
    ASSERT_NE(queue, nullptr);
    CapturedFd out(1);

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++) {
        producers.emplace_back([queue, p, size, each] {
            for (int i = 0; i < each; i++) {
                if (MessageQueueEnqueue(queue, record(p, i, size).data(), 5000000) != 0) {
                    ADD_FAILURE() << "producer " << p << " message " << i;
                    return;
                }
            }
        });
    }
    int next[kProducers] = {};
    int fd = GetMessageQueueFd(queue);
    int received = 0;
    for (; received < kProducers * each && readable(fd, 10000); received++) {
        int result, producer, sequence;
        std::string message = dequeued(queue, size, 0, &result);
        memcpy(&producer, &message[0], 4);
        memcpy(&sequence, &message[4], 4);
        if (result != size || producer < 0 || producer >= kProducers || sequence != next[producer] ||
            message != record(producer, sequence, size)) {
            ADD_FAILURE() << "message " << received << ": result " << result << ", producer " << producer
                          << ", sequence " << sequence;
            break;
        }
        next[producer]++;
    }
    for (std::thread &producer : producers) producer.join();
    EXPECT_EQ(kProducers * each, received);
    EXPECT_EQ("", out.take());
}

// 100 bytes does not divide a page, so messages also meet page ends.
TEST(MessageQueueThreads, FourProducersOneConsumerSmallMessages) { streamFromFourProducers(100, 3000); }

// One message per page of the pipe: each page freed lets one producer in and
// the others, woken too, wait on.
TEST(MessageQueueThreads, FourProducersOneConsumerPageSizedMessages) { streamFromFourProducers(4096, 1000); }

// ---------------------------------------------------------------------------

// Holds `count` descriptors open for the length of a test.
class OpenDescriptors {
public:
    explicit OpenDescriptors(int count) {
        struct rlimit limit;
        getrlimit(RLIMIT_NOFILE, &saved_);
        limit = saved_;
        rlim_t wanted = (rlim_t)count + 64;
        if (limit.rlim_cur < wanted) limit.rlim_cur = wanted;
        if (limit.rlim_max < wanted) limit.rlim_max = wanted;
        raised_ = setrlimit(RLIMIT_NOFILE, &limit) == 0;
        for (int i = 0; raised_ && i < count; i++) {
            int fd = open("/dev/null", O_RDONLY);
            if (fd < 0) break;
            fds_.push_back(fd);
        }
    }
    ~OpenDescriptors() {
        for (int fd : fds_) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    size_t count() const { return fds_.size(); }

private:
    struct rlimit saved_;
    bool raised_;
    std::vector<int> fds_;
};

TEST(HighDescriptors, AQueueAbove1024WaitsAndTimesOutLikeAnyOther) {
    OpenDescriptors held(1100);
    ASSERT_EQ(1100u, held.count());
    OwnedQueue owned(64);
    MessageQueue *queue = owned.queue;
    ASSERT_NE(queue, nullptr);
    int fd = GetMessageQueueFd(queue);
    ASSERT_GE(fd, 1100);
    CapturedFd out(1);

    Clock::time_point start = Clock::now();
    int result;
    dequeued(queue, 64, 500000, &result);
    double seconds = secondsSince(start);
    EXPECT_EQ(-1, result);
    EXPECT_GE(seconds, 0.5);
    EXPECT_LT(seconds, 1.5);
    EXPECT_EQ(readFailedLines(kEmpty, 64), out.take());

    CapturedFd quiet(1);
    ASSERT_EQ(0, MessageQueueEnqueue(queue, record(7, 7, 64).data(), 10000));
    EXPECT_TRUE(readable(fd, 1000));
    EXPECT_EQ(record(7, 7, 64), dequeued(queue, 64, 10000, &result));
    EXPECT_EQ(64, result);
    EXPECT_EQ("", quiet.take());

    CapturedFd refused(1);
    fill(queue, 64);
    start = Clock::now();
    // Not whole milliseconds: waits to the microsecond take another road.
    EXPECT_EQ(-1, MessageQueueEnqueue(queue, record(8, 8, 64).data(), 300500));
    seconds = secondsSince(start);
    EXPECT_GE(seconds, 0.3005);
    EXPECT_LT(seconds, 1.3);
    EXPECT_EQ(writeFailedLine(64) + writeFailedLine(64), refused.take());
}

}  // namespace
