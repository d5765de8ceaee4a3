// InitMonitor with both platform libraries replaced by recording stand-ins.
// Every start-up pauses 6 seconds, so all checks here share one run.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <unistd.h>

#include "capture.h"
#include "clock_shim.h"
#include "monitor_lines.h"
#include "pinned_host.h"
#include "process_view.h"
#include "standins.h"
#include "trevant.h"

namespace {

struct StartupRun {
    int result = -1;
    double seconds = 0;
    std::string out;
    std::string err;
    int module = -2;
    pid_t callerThread = 0;
    RecordedTaskStart task;
    bool serverCalled = false;
    RecordedServerCall server;
    std::map<pid_t, std::string> threads;  // read while the server runs
};

class MonitorStartup : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        clockShimSet(PINNED_EPOCH_SECONDS, PINNED_MICROSECONDS);
        run = new StartupRun;
        run->callerThread = gettid();
        CapturedOutput output;
        auto start = std::chrono::steady_clock::now();
        run->result = InitMonitor();
        run->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        run->serverCalled = standinWaitForServer(30, &run->server);
        run->threads = threadNames();
        run->out = output.out.take();
        run->err = output.err.take();
        run->module = g_moduleMonitorNO;
        run->task = standinTaskStart();
    }
    static void TearDownTestSuite() {
        standinStopServer();
        delete run;
    }
    static StartupRun *run;
};
StartupRun *MonitorStartup::run;

const MonitorSource kInterface = MonitorSource::kMonitorInterface;

TEST_F(MonitorStartup, PrintsTheWholeSequenceLineForLine) {
    std::vector<std::string> lines = splitLines(run->out);
    ASSERT_EQ(lines.size(), 12u) << run->out;
    std::vector<std::string> selfTest = monitorSelfTestLines(0);
    for (size_t i = 0; i < selfTest.size(); i++) EXPECT_EQ(lines[i], selfTest[i]) << "line " << i;

    // The build time is fixed when the library is compiled: check its shape.
    std::string buildPrefix = monitorLine(kInterface, "\"Monitor Module Build time :\"", "MonitorBuildTime", 4, "");
    ASSERT_EQ(lines[7].substr(0, buildPrefix.size()), buildPrefix);
    EXPECT_TRUE(std::regex_match(lines[7].substr(buildPrefix.size()),
                                 std::regex("Monitor Module Build time :(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                            "[ 1-3][0-9] [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-6][0-9] \n")))
        << lines[7];

    EXPECT_EQ(lines[8], monitorLine(kInterface, "\"MonitorThreadCreate\\n\"", "MonitorThreadCreate", 4,
                                    "MonitorThreadCreate\n"));
    // The task's first line and the creator's next line race: either order.
    std::string taskLine = monitorLine(kInterface, "\"MonitorFTPServerTask::[%s]\\n\"", "MonitorFTPServerTask", 4,
                                       "MonitorFTPServerTask::[MonitorFTPServerTask]\n");
    std::string createdLine =
        monitorLine(kInterface, "\"==============\\n\"", "MonitorThreadCreate", 4, "==============\n");
    EXPECT_TRUE((lines[9] == taskLine && lines[10] == createdLine) ||
                (lines[9] == createdLine && lines[10] == taskLine))
        << "got:\n" << lines[9] << lines[10] << "want, in either order:\n" << taskLine << createdLine;
    EXPECT_EQ(lines[11], monitorLine(kInterface, "\"InitMonitor.\\n\"", "InitMonitor", 6, "InitMonitor.\n"));

    EXPECT_EQ(run->err, "");
    EXPECT_EQ(run->module, 0);
    EXPECT_EQ(run->result, 0);
}

TEST_F(MonitorStartup, ReturnsAfterOneSixSecondPause) {
    EXPECT_GE(run->seconds, 6.0);
    // A second pause (or a resumed one) would take 12 s.
    EXPECT_LT(run->seconds, 11.0);
}

TEST_F(MonitorStartup, StartsOneTaskNamedMonitorFTPServerTaskWithItsNameAsArgument) {
    EXPECT_EQ(run->task.calls, 1);
    EXPECT_EQ(run->task.taskName, "MonitorFTPServerTask");
    EXPECT_EQ(run->task.argument, run->task.taskNamePointer);
}

TEST_F(MonitorStartup, HandsTheServerExactlyFiveConstantArgumentsInOrder) {
    ASSERT_TRUE(run->serverCalled);
    EXPECT_EQ(run->server.calls, 1);
    EXPECT_EQ(run->server.argc, 5);
    EXPECT_EQ(run->server.arguments, (std::vector<std::string>{"monitor.elf", "-c", "3456", "-d", "34567"}));
    // The texts are the library's read-only constants, so a server that wrote
    // into them would fault instead of changing the next start-up's command.
    for (const void *text : run->server.argumentPointers) {
        Mapping mapping = mappingOf(text);
        ASSERT_TRUE(mapping.found) << text;
        EXPECT_EQ(mapping.permissions[1], '-') << mapping.permissions << " " << mapping.path;
        EXPECT_NE(mapping.path.find("/libtrevant.so"), std::string::npos) << mapping.path;
    }
    // The vector itself lives in the task entry's frame.
    EXPECT_TRUE(run->server.vectorOnCallersStack);
}

TEST_F(MonitorStartup, RunsTheServerOnTheNamedTaskThread) {
    ASSERT_TRUE(run->serverCalled);
    EXPECT_NE(run->server.threadId, run->callerThread);
    EXPECT_EQ(run->server.threadName, "MonitorFTPServe");
    ASSERT_EQ(run->threads.count(run->server.threadId), 1u);
    EXPECT_EQ(run->threads[run->server.threadId], "MonitorFTPServe");
}

}  // namespace
