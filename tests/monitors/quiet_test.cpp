// libtrevant built with every file's log gate at 3 (Warning): start-up
// prints the banner and the Fatal, Error and Warning self-test lines, and
// nothing of its Info and Debug steps; a failed start still says why.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "capture.h"
#include "clock_shim.h"
#include "monitor_lines.h"
#include "pinned_host.h"
#include "standins.h"
#include "trevant.h"

namespace {

void endPause(int) {}

TEST(QuietMonitor, PrintsOnlyTheLinesItsLevelAdmits) {
    clockShimSet(PINNED_EPOCH_SECONDS, PINNED_MICROSECONDS);
    standinFailTaskStart(true);
    // Cuts the 6-second start-up pause short.
    struct sigaction action = {};
    action.sa_handler = endPause;
    ASSERT_EQ(sigaction(SIGALRM, &action, nullptr), 0);
    alarm(1);

    CapturedOutput output;
    EXPECT_EQ(InitMonitor(), -1);
    std::vector<std::string> selfTest = monitorSelfTestLines(0);
    EXPECT_EQ(output.out.take(), selfTest[0] + selfTest[1] + selfTest[2] + selfTest[3] +
                                     monitorLine(MonitorSource::kMonitorInterface, "FTP server task could not start",
                                                 "MonitorThreadCreate", 2,
                                                 "FTP server task could not start: [Resource temporarily unavailable].\n"));
    EXPECT_EQ(output.err.take(), "");
}

}  // namespace
