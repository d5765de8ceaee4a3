// Whole log lines, byte for byte, with host and clock pinned.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "capture.h"
#include "clock_shim.h"
#include "pinned_host.h"
#include "quillon.h"

extern "C" int logFromC(int module, int level, int *evaluations);
extern "C" const char *logFromCFile(void);

namespace {

// Registered once, in this order, before any test runs.
enum Module { kMessage, kMonitor, kFullWidth, kLongName, kEmptyName, kBadType };

class Registrations : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(kMessage, registerModule("message", "5325", 2));
        ASSERT_EQ(kMonitor, registerModule("monitor", "5325", 2));
        ASSERT_EQ(kFullWidth, registerModule("abcdefghijkl", "12345678", 15));
        ASSERT_EQ(kLongName, registerModule("thirteenchars", "t", 1));
        ASSERT_EQ(kEmptyName, registerModule("", "x", 2));
        ASSERT_EQ(kBadType, registerModule("badtype", "77", 3));
    }
};
const auto *registrations = ::testing::AddGlobalTestEnvironment(new Registrations);

const std::string kPrefix = PINNED_TIME_GROUP PINNED_HOST_GROUP;

std::string capture(void (*emit)()) {
    CapturedFd out(1);
    emit();
    return out.take();
}

class LogLine : public ::testing::Test {
protected:
    void SetUp() override {
        clockShimSet(PINNED_EPOCH_SECONDS, PINNED_MICROSECONDS);
        g_version = LogVersion{0, 0, 0};
    }
    void TearDown() override {
        clockShimFail(0);
        g_version = LogVersion{0, 0, 0};
    }
};

TEST_F(LogLine, ComposesEveryGroupInOrder) {
    std::string out = capture([] {
        logVerboseCStyle("/build/src/Messages/logMessage", 23, "log_message_init", kMessage, 1,
                         "=====messageLogFatal==[%d]=--------------=\n", 0);
    });
    EXPECT_EQ(out, "[Sep-24-2015, Thur.][17:31:35.042] [box][192.168.1.10] [0.0.0:5325][message] <<117>> "
                   "[build/src/Messages/logMessage:23][log_message_init:Fatal!] : "
                   "=====messageLogFatal==[0]=--------------=\n");
}

TEST_F(LogLine, NamesEachWorkingLevelWithItsErrorCode) {
    std::string out = capture([] {
        for (int level = 1; level <= 6; level++) logVerboseCStyle("f", level, "fn", kMonitor, level, "m\n");
    });
    std::string expected;
    const char *names[] = {"Fatal!", "Error!", "Warning", "Info", "Verbose", "Debug"};
    for (int level = 1; level <= 6; level++) {
        expected += kPrefix + "[0.0.0:5325][monitor] <<" + std::to_string(116 + level) + ">> [f:" +
                    std::to_string(level) + "][fn:" + names[level - 1] + "] : m\n";
    }
    EXPECT_EQ(out, expected);
}

TEST_F(LogLine, ShowsTheFileFromAfterItsFirstSlash) {
    std::string out = capture([] {
        logVerboseCStyle("x", 1, "f", kMessage, 4, "\n");
        logVerboseCStyle("/x", 2, "f", kMessage, 4, "\n");
        logVerboseCStyle("a/b/c", 3, "f", kMessage, 4, "\n");
        logVerboseCStyle(nullptr, 4, nullptr, kMessage, 4, "\n");
    });
    std::string group = kPrefix + "[0.0.0:5325][message] <<120>> ";
    EXPECT_EQ(out, group + "[x:1][f:Info] : \n" + group + "[x:2][f:Info] : \n" + group + "[b/c:3][f:Info] : \n" +
                       group + "[:4][:Info] : \n");
}

TEST_F(LogLine, ReplacesControlBytesButKeepsLayoutAndHighBytes) {
    std::string out = capture([] {
        logVerboseCStyle("f", 1, "fn\x01", kMessage, 6, "tab\there\rbell\aesc\x1b[31m del\x7f utf8 \xc3\xa9 \x0e\x1f\n");
    });
    EXPECT_EQ(out, kPrefix + "[0.0.0:5325][message] <<122>> [f:1][fn?:Debug] : "
                             "tab\there\rbell?esc?[31m del\x7f utf8 \xc3\xa9 ??\n");
}

TEST_F(LogLine, MessageWithoutNewlineLeavesTheLineOpen) {
    std::string out = capture([] {
        logVerboseCStyle("f", 1, "fn", kMessage, 4, "first ");
        logVerboseCStyle("f", 2, "fn", kMessage, 4, "second\n");
    });
    std::string group = kPrefix + "[0.0.0:5325][message] <<120>> ";
    EXPECT_EQ(out, group + "[f:1][fn:Info] : first " + group + "[f:2][fn:Info] : second\n");
}

TEST_F(LogLine, NullFormatLogsAnEmptyMessage) {
    static const char *noFormat = nullptr;
    std::string out = capture([] { logVerboseCStyle("f", 1, "fn", kMessage, 4, noFormat); });
    EXPECT_EQ(out, kPrefix + "[0.0.0:5325][message] <<120>> [f:1][fn:Info] : ");
}

TEST_F(LogLine, CutsLongMessagesAt511CharactersAndKeepsTheNewline) {
    static std::string fits, exactlyOver, longWithNewline, longWithout;
    fits = std::string(510, 'a') + "\n";             // 511 characters: untouched
    exactlyOver = std::string(511, 'b') + "\n";      // 512: the newline is cut and restored
    longWithNewline = std::string(700, 'c') + "\n";  // cut in the middle
    longWithout = std::string(600, 'd');             // cut: still ends the line
    std::string out = capture([] {
        logVerboseCStyle("f", 1, "fn", kMessage, 4, "%s", fits.c_str());
        logVerboseCStyle("f", 2, "fn", kMessage, 4, "%s", exactlyOver.c_str());
        logVerboseCStyle("f", 3, "fn", kMessage, 4, "%s", longWithNewline.c_str());
        logVerboseCStyle("f", 4, "fn", kMessage, 4, "%s", longWithout.c_str());
    });
    std::string group = kPrefix + "[0.0.0:5325][message] <<120>> ";
    EXPECT_EQ(out, group + "[f:1][fn:Info] : " + fits + group + "[f:2][fn:Info] : " + std::string(511, 'b') + "\n" +
                       group + "[f:3][fn:Info] : " + std::string(511, 'c') + "\n" + group + "[f:4][fn:Info] : " +
                       std::string(511, 'd') + "\n");
}

TEST_F(LogLine, CutsAnOverlongLineAt1023BytesAndKeepsTheNewline) {
    static std::string longFile;
    longFile = "/" + std::string(800, 'p');
    std::string out = capture([] {
        logVerboseCStyle(longFile.c_str(), 7, "fn", kMessage, 4, "%s\n", std::string(400, 'm').c_str());
        logVerboseCStyle("f", 8, "fn", kMessage, 4, "next\n");
    });
    std::string group = kPrefix + "[0.0.0:5325][message] <<120>> ";
    std::string first = group + "[" + std::string(800, 'p') + ":7][fn:Info] : " + std::string(400, 'm');
    first = first.substr(0, 1022) + "\n";
    EXPECT_EQ(out, first + group + "[f:8][fn:Info] : next\n");
}

TEST_F(LogLine, ShowsTheHostsVersionWithTheModuleTag) {
    std::string out = capture([] {
        g_version = LogVersion{1, 2, 3};
        logVerboseCStyle("f", 1, "fn", kMessage, 4, "set\n");
        g_version = LogVersion{2147483647, -5, 12345678};
        logVerboseCStyle("f", 2, "fn", kFullWidth, 4, "wide\n");
    });
    EXPECT_EQ(out, kPrefix + "[1.2.3:5325][message] <<120>> [f:1][fn:Info] : set\n" + kPrefix +
                       "[2147483647.-5.12345678:12345678][abcdefghijkl] <<224>> [f:2][fn:Info] : wide\n");
}

TEST_F(LogLine, AVersionWithThirdNumberZeroShowsAndBecomesZero) {
    std::string out = capture([] {
        g_version = LogVersion{1, 2, 0};
        logVerboseCStyle("f", 1, "fn", kMessage, 4, "v\n");
    });
    EXPECT_EQ(out, kPrefix + "[0.0.0:5325][message] <<120>> [f:1][fn:Info] : v\n");
    EXPECT_EQ(g_version.major, 0);
    EXPECT_EQ(g_version.minor, 0);
    EXPECT_EQ(g_version.third, 0);
}

TEST_F(LogLine, ShowsNamesAndTagsUpToTheirFieldWidths) {
    std::string out = capture([] {
        logVerboseCStyle("f", 1, "fn", kFullWidth, 2, "twelve\n");
        logVerboseCStyle("f", 2, "fn", kLongName, 2, "thirteen\n");
    });
    EXPECT_EQ(out, kPrefix + "[0.0.0:12345678][abcdefghijkl] <<222>> [f:1][fn:Error!] : twelve\n" + kPrefix +
                       "[0.0.0:t][thirteenchar] <<110>> [f:2][fn:Error!] : thirteen\n");
}

TEST_F(LogLine, ModulesWithoutAUsableRow) {
    std::string out = capture([] {
        logVerboseCStyle("f", 1, "fn", kEmptyName, 2, "empty name\n");
        logVerboseCStyle("f", 2, "fn", 20, 2, "free row\n");
        logVerboseCStyle("f", 3, "fn", -1, 2, "failed registration\n");
        logVerboseCStyle("f", 4, "fn", 32, 2, "past the table\n");
    });
    EXPECT_EQ(out, kPrefix + "[0.0.0:x][0000000] [f:1][fn:Error!] : empty name\n" + kPrefix +
                       "[0.0.0:][0000000] [f:2][fn:Error!] : free row\n" + kPrefix +
                       "[0.0.0:][f:3][fn:Error!] : failed registration\n" + kPrefix +
                       "[0.0.0:][f:4][fn:Error!] : past the table\n");
}

TEST_F(LogLine, AnUnknownLogTypeGivesCodeZeroAfterItsMessage) {
    std::string out = capture([] { logVerboseCStyle("f", 1, "fn", kBadType, 3, "odd\n"); });
    EXPECT_EQ(out, "get_ErrorCode: logtype [3] is error.\n" + kPrefix +
                       "[0.0.0:77][badtype] <<0>> [f:1][fn:Warning] : odd\n");
}

TEST_F(LogLine, LevelsOutsideOneToSixAreReportedAndTheLineGoesToStandardError) {
    CapturedOutput output;
    logVerboseCStyle("f", 1, "fn", kMessage, 0, "assert\n");
    logVerboseCStyle("f", 2, "fn", kMessage, 7, "seven\n");
    logVerboseCStyle("f", 3, "fn", kMessage, 9, "nine\n");
    logVerboseCStyle("f", 4, "fn", kMessage, -3, "negative\n");
    logVerboseCStyle("f", 5, "fn", kMessage, 2147483647, "huge\n");
    std::string out = output.out.take();
    std::string err = output.err.take();
    EXPECT_EQ(out, "colored_LogOutput: level is [0],error.\n"
                   "colored_LogOutput: level is [7],error.\n"
                   "colored_LogOutput: level is [9],error.\n"
                   "colored_LogOutput: level is [-3],error.\n"
                   "colored_LogOutput: level is [2147483647],error.\n");
    std::string group = kPrefix + "[0.0.0:5325][message] ";
    EXPECT_EQ(err, group + "<<116>> [f:1][fn:Assert] : assert\n" + group +
                       "<<123>> [f:2][fn:Undefined] : seven\n" + group + "<<125>> [f:3][fn:Undefined] : nine\n" +
                       group + "<<113>> [f:4][fn:Undefined] : negative\n" + group +
                       "<<2147483763>> [f:5][fn:Undefined] : huge\n");
}

struct TimeCase {
    long long seconds;
    long microseconds;
    const char *timeZone;
    const char *group;
};

TEST_F(LogLine, TimeGroupPadsEveryField) {
    const TimeCase cases[] = {
        {1420167845, 999999, "UTC", "[Jan-02-2015, Fri.][03:04:05.999] "},
        {951782400, 0, "UTC", "[Feb-29-2000, Tues.][00:00:00.000] "},
        {-30610224001LL, 1000, "UTC", "[Dec-31-0999, Tues.][23:59:59.001] "},
        // A device clock past 2038, where a 32-bit time_t has wrapped.
        {2214450367LL, 7000, "UTC", "[Mar-04-2040, Sun.][05:06:07.007] "},
        {PINNED_EPOCH_SECONDS, 42000, "JST-9", "[Sep-25-2015, Fri.][02:31:35.042] "},
    };
    for (const TimeCase &c : cases) {
        setenv("TZ", c.timeZone, 1);
        tzset();
        clockShimSet(c.seconds, c.microseconds);
        CapturedFd out(1);
        logVerboseCStyle("f", 1, "fn", kMessage, 4, "t\n");
        EXPECT_EQ(out.take(), std::string(c.group) + PINNED_HOST_GROUP "[0.0.0:5325][message] <<120>> [f:1][fn:Info] : t\n");
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

TEST_F(LogLine, AClockThatCannotBeReadRepeatsTheLastCapturedTime) {
    std::string out = capture([] {
        clockShimSet(1420167845, 123456);
        logVerboseCStyle("f", 1, "fn", kMessage, 4, "read\n");
        clockShimSet(PINNED_EPOCH_SECONDS, 0);
        clockShimFail(1);
        logVerboseCStyle("f", 2, "fn", kMessage, 4, "failed\n");
    });
    std::string group = "[Jan-02-2015, Fri.][03:04:05.123] " PINNED_HOST_GROUP "[0.0.0:5325][message] <<120>> ";
    EXPECT_EQ(out, group + "[f:1][fn:Info] : read\n" + group + "[f:2][fn:Info] : failed\n");
}

TEST_F(LogLine, ClientMacroFillsInTheLocationAndAppliesTheFileLevel) {
    int evaluations = 0;
    CapturedFd out(1);
    QUILLON_LOG(3, kMessage, QUILLON_INFO, "gated %d\n", ++evaluations);
    int line = __LINE__ + 1;
    QUILLON_LOG(3, kMessage, QUILLON_WARNING, "passed %d\n", ++evaluations);
    std::string text = out.take();
    EXPECT_EQ(evaluations, 1);
    const char *file = __FILE__;
    EXPECT_EQ(text, kPrefix + "[0.0.0:5325][message] <<119>> [" + (std::strchr(file, '/') + 1) + ":" +
                        std::to_string(line) + "][TestBody:Warning] : passed 1\n");
}

TEST_F(LogLine, ClientMacroWorksFromC) {
    int evaluations = 0;
    CapturedFd out(1);
    int line = logFromC(kMonitor, QUILLON_DEBUG, &evaluations);
    logFromC(kMonitor, QUILLON_DEBUG + 1, &evaluations);
    std::string text = out.take();
    EXPECT_EQ(evaluations, 1);
    EXPECT_EQ(text, kPrefix + "[0.0.0:5325][monitor] <<122>> [" + (std::strchr(logFromCFile(), '/') + 1) + ":" +
                        std::to_string(line) + "][logFromC:Debug] : from C 1\n");
}

// The interface and host-name cases change the namespace's eth0 and host
// name, and put them back afterwards.
class HostGroup : public LogLine {
protected:
    void TearDown() override {
        ASSERT_EQ(0, system("ip link set dev eth9 name eth0 2>/dev/null; "
                            "ip addr replace 192.168.1.10/24 dev eth0"));
        ASSERT_EQ(0, sethostname(PINNED_HOST_NAME, sizeof PINNED_HOST_NAME - 1));
        LogLine::TearDown();
    }
};

TEST_F(HostGroup, InterfaceWithoutAnAddressLeavesTheGroupOut) {
    ASSERT_EQ(0, system("ip addr flush dev eth0"));
    std::string out = capture([] { logVerboseCStyle("f", 1, "fn", kMessage, 4, "no ip\n"); });
    EXPECT_EQ(out, "get_MachineInfo: get device [eth0] ip error.\n" PINNED_TIME_GROUP
                   "[0.0.0:5325][message] <<120>> [f:1][fn:Info] : no ip\n");
}

TEST_F(HostGroup, MissingInterfaceLeavesTheGroupOut) {
    ASSERT_EQ(0, system("ip link set dev eth0 down && ip link set dev eth0 name eth9"));
    std::string out = capture([] { logVerboseCStyle("f", 1, "fn", kMessage, 4, "no eth0\n"); });
    ASSERT_EQ(0, system("ip link set dev eth9 name eth0 && ip link set dev eth0 up"));
    EXPECT_EQ(out, "get_MachineInfo: get device [eth0] mac error.\n" PINNED_TIME_GROUP
                   "[0.0.0:5325][message] <<120>> [f:1][fn:Info] : no eth0\n");
}

TEST_F(HostGroup, LongHostNamesShowTheirFirst31Characters) {
    const std::string name40 = "abcdefghij-abcdefghij-abcdefghij-abcdefg";
    ASSERT_EQ(0, sethostname(name40.c_str(), name40.size()));
    std::string out = capture([] { logVerboseCStyle("f", 1, "fn", kMessage, 4, "long host\n"); });
    EXPECT_EQ(out, PINNED_TIME_GROUP "[" + name40.substr(0, 31) +
                       "][192.168.1.10] [0.0.0:5325][message] <<120>> [f:1][fn:Info] : long host\n");
}

}  // namespace
