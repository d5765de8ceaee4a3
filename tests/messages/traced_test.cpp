// The library built with every file's log gate at 6 (Debug): the Info and
// Debug lines that the built-in level 3 keeps quiet, byte for byte.

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "capture.h"
#include "carrowen.h"
#include "message_lines.h"

namespace {

std::string g_startupOutput;

class StartedMessageModule : public ::testing::Environment {
public:
    void SetUp() override {
        CapturedFd out(1);
        InitMessage();
        g_startupOutput = out.take();
    }
};
const auto *startup = ::testing::AddGlobalTestEnvironment(new StartedMessageModule);

// The build time is the compiler's, so only its form can be checked.
void expectBuildTimeLine(const std::string &line, const std::string &file, const std::string &function) {
    std::string prefix = messageLine(file, function, "kBuildTimeLine", 4, "Message Module Build time :");
    ASSERT_EQ(prefix, line.substr(0, prefix.size()));
    static const std::regex buildTime("(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-9]{4} "
                                      "[0-2][0-9]:[0-5][0-9]:[0-5][0-9] \n");
    EXPECT_TRUE(std::regex_match(line.substr(prefix.size()), buildTime)) << line;
}

TEST(TracedStartUp, PrintsAllSixSelfTestLinesTheBuildTimeAndItsOwnStep) {
    const char *file = "src/Messages/logMessage.cpp";
    const char *names[] = {"Fatal", "Error", "Warning", "Info", "Verbose", "Debug"};
    std::vector<std::string> lines = splitLines(g_startupOutput);
    ASSERT_EQ(9u, lines.size()) << g_startupOutput;
    EXPECT_EQ("==================log_message_init========================\n", lines[0]);
    for (int level = 1; level <= 6; level++) {
        std::string format = std::string("=====messageLog") + names[level - 1] + "==";
        EXPECT_EQ(messageLine(file, "log_message_init", format, level, format + "[0]=--------------=\n"), lines[level]);
    }
    expectBuildTimeLine(lines[7], "src/Messages/MessageInterface.cpp", "MessageBuildTime");
    EXPECT_EQ(messageLine("src/Messages/MessageInterface.cpp", "InitMessage", "InitMessage.", 6, "InitMessage.\n"),
              lines[8]);
}

TEST(TracedQueue, TracesEveryStep) {
    CapturedFd created(1);
    MessageQueue *queue = MessageQueueCreate(8);
    ASSERT_NE(queue, nullptr);
    std::vector<std::string> lines = splitLines(created.take());
    ASSERT_EQ(2u, lines.size());
    expectBuildTimeLine(lines[0], "src/Messages/MessageQueue.cpp", "MessageQueueBuildTime");
    std::string address = pointerText(queue);
    EXPECT_EQ(queueLine("MessageQueueCreate", "Message Queue Address", 6, "Message Queue Address: [" + address + "]\n"),
              lines[1]);

    const std::string enqueued =
        queueLine("MessageQueueEnqueue", "Enqueue Message Queue Address", 6,
                  "Enqueue Message Queue Address: [" + address + "]\n");
    const std::string dequeued =
        queueLine("MessageQueueDequeue", "Dequeue Message Queue Address", 6,
                  "Dequeue Message Queue Address: [" + address + "]\n");
    auto waited = [](int result) {
        return queueLine("MessageQueueDequeue", "select ret[%d]", 6, "select ret[" + std::to_string(result) + "].\n");
    };

    CapturedFd out(1);
    char message[8] = "abcdefg", buffer[8];
    EXPECT_EQ(0, MessageQueueEnqueue(queue, message, 0));
    EXPECT_EQ(0, MessageQueueEnqueue(queue, message, 10000));
    EXPECT_EQ(8, MessageQueueDequeue(queue, buffer, 10000));
    EXPECT_EQ(8, MessageQueueDequeue(queue, buffer, 0));
    EXPECT_EQ(-1, MessageQueueDequeue(queue, buffer, 100000));
    EXPECT_EQ(0, MessageQueueDelete(queue));
    EXPECT_EQ(enqueued + enqueued + dequeued + waited(1) + dequeued + dequeued + waited(0) +
                  queueLine("MessageQueueDequeue", "strerror: %s", 2, "strerror: Resource temporarily unavailable\n") +
                  queueLine("MessageQueueDequeue", "read return value", 2,
                            "read return value = [-1], messageQueue->size = [8]\n"),
              out.take());
}

}  // namespace
