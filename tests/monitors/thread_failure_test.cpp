// InitMonitor when its task thread cannot start: the stand-in for
// libdunmarr refuses, as the real one does when the system has no thread to
// give.  Start-up still prints its lines and pauses, then says why it failed.

#include <gtest/gtest.h>

#include <chrono>

#include "capture.h"
#include "clock_shim.h"
#include "monitor_lines.h"
#include "pinned_host.h"
#include "quillon.h"
#include "standins.h"
#include "trevant.h"

namespace {

const MonitorSource kInterface = MonitorSource::kMonitorInterface;

TEST(MonitorWithoutTaskThread, SaysWhyAfterTheFullPauseAndFails) {
    clockShimSet(PINNED_EPOCH_SECONDS, PINNED_MICROSECONDS);
    // Another module first: the monitor takes the next row and shows it.
    ASSERT_EQ(registerModule("host", "1", 2), 0);
    standinFailTaskStart(true);

    CapturedOutput output;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(InitMonitor(), -1);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string out = output.out.take();
    std::string err = output.err.take();

    EXPECT_GE(seconds, 6.0);
    EXPECT_LT(seconds, 11.0);
    EXPECT_EQ(g_moduleMonitorNO, 1);
    EXPECT_EQ(standinTaskStart().calls, 1);
    RecordedServerCall server;
    EXPECT_FALSE(standinWaitForServer(0, &server));

    std::vector<std::string> expected = monitorSelfTestLines(1);
    std::vector<std::string> lines = splitLines(out);
    ASSERT_EQ(lines.size(), 12u) << out;
    for (size_t i = 0; i < expected.size(); i++) EXPECT_EQ(lines[i], expected[i]) << "line " << i;
    std::string buildPrefix = monitorLine(kInterface, "\"Monitor Module Build time :\"", "MonitorBuildTime", 4,
                                          "Monitor Module Build time :");
    EXPECT_EQ(lines[7].substr(0, buildPrefix.size()), buildPrefix);
    EXPECT_EQ(lines[8], monitorLine(kInterface, "\"MonitorThreadCreate\\n\"", "MonitorThreadCreate", 4,
                                    "MonitorThreadCreate\n"));
    EXPECT_EQ(lines[9], monitorLine(kInterface, "\"==============\\n\"", "MonitorThreadCreate", 4, "==============\n"));
    EXPECT_EQ(lines[10], monitorLine(kInterface, "\"FTP server task could not start: [%s].\\n\"", "MonitorThreadCreate", 2,
                                     "FTP server task could not start: [Resource temporarily unavailable].\n"));
    EXPECT_EQ(lines[11], monitorLine(kInterface, "\"InitMonitor.\\n\"", "InitMonitor", 6, "InitMonitor.\n"));
    EXPECT_EQ(err, "");
}

// A task library that fails without setting errno: the line says the reason
// is unknown, never "[Success]".  (Run as a test program of its own: one
// start-up per process.)
TEST(MonitorWithoutTaskThread, SaysTheReasonIsUnknownWhenThereIsNoErrno) {
    clockShimSet(PINNED_EPOCH_SECONDS, PINNED_MICROSECONDS);
    standinFailTaskStart(true, 0);

    CapturedOutput output;
    EXPECT_EQ(InitMonitor(), -1);
    std::vector<std::string> lines = splitLines(output.out.take());

    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[10], monitorLine(kInterface, "\"FTP server task could not start: [%s].\\n\"", "MonitorThreadCreate", 2,
                                     "FTP server task could not start: [unknown reason].\n"));
}

}  // namespace
