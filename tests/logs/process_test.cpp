// What a host process sees: the colour decision and its escapes through a
// real pseudo-terminal, and what logging must never do to its host (lose or
// repeat lines, hang a forked child, signal it, change its errno).  Each case
// runs a fresh probe process: the colour decision is taken once per process.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "pinned_host.h"

namespace {

// Where the probe's standard output goes.  Shared: one file for both
// streams.  GonePipe, GoneSocket: a pipe or stream socket whose reader has
// gone.  SlowPipe: a non-blocking pipe read 4 KiB every 2 ms, with one pause
// of 1.5 s after the first 32 KiB.
enum class Sink { Terminal, File, Shared, GonePipe, GoneSocket, SlowPipe };

struct ProbeRun {
    std::string out;  // standard output (the terminal's bytes when it is one)
    std::string err;  // standard error
};

std::string readSlowly(int fd) {
    std::string bytes;
    char chunk[4096];
    ssize_t got;
    bool paused = false;
    while ((got = read(fd, chunk, sizeof chunk)) != 0) {
        if (got > 0) bytes.append(chunk, (size_t)got);
        if (!paused && bytes.size() >= 32768) usleep(1500000);
        paused = paused || bytes.size() >= 32768;
        usleep(2000);
    }
    return bytes;
}

int tempFile() {
    char path[] = "/tmp/probeXXXXXX";
    int fd = mkstemp(path);
    unlink(path);
    return fd;
}

// Runs the probe with exactly `environment` (plus the pinned clock and zone)
// and `arguments`.  stderrOnTerminal puts both streams on one terminal.  The
// probe must exit 0, or be killed by SIGABRT when its last argument is abort.
ProbeRun runProbe(Sink stdoutSink, std::vector<std::string> environment, std::vector<std::string> arguments,
             bool stderrOnTerminal = false) {
    int master = -1, slave = -1;
    struct termios raw;
    cfmakeraw(&raw);  // no newline translation: the test sees the bytes written
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) ADD_FAILURE() << "openpty failed";
    int outFile = tempFile(), errFile = tempFile();
    int pipeEnds[2] = {-1, -1};
    if (stdoutSink == Sink::GonePipe || stdoutSink == Sink::GoneSocket || stdoutSink == Sink::SlowPipe) {
        int made = stdoutSink == Sink::GoneSocket ? socketpair(AF_UNIX, SOCK_STREAM, 0, pipeEnds) : pipe(pipeEnds);
        if (made != 0) ADD_FAILURE() << "pipe or socket pair failed";
        if (stdoutSink != Sink::SlowPipe) close(pipeEnds[0]);
        if (stdoutSink == Sink::SlowPipe) fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK);
    }

    environment.push_back("TZ=UTC");
    environment.push_back(std::string("CLOCK_SHIM_TIME=") + (getenv("CLOCK_SHIM_TIME") ?: ""));
    std::vector<char *> envp, argv{const_cast<char *>(PROBE_PATH)};
    for (auto &entry : environment) envp.push_back(entry.data());
    for (auto &argument : arguments) argv.push_back(argument.data());
    envp.push_back(nullptr);
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child == 0) {
        dup2(stdoutSink == Sink::Terminal ? slave : pipeEnds[1] >= 0 ? pipeEnds[1] : outFile, 1);
        dup2(stderrOnTerminal ? slave : stdoutSink == Sink::Shared ? outFile : errFile, 2);
        execve(PROBE_PATH, argv.data(), envp.data());
        _exit(127);
    }
    close(slave);
    ProbeRun run;
    if (pipeEnds[1] >= 0) close(pipeEnds[1]);
    if (stdoutSink == Sink::SlowPipe) run.out = readSlowly(pipeEnds[0]);
    if (stdoutSink == Sink::SlowPipe) close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!arguments.empty() && arguments.back() == "abort")
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << "probe status " << status;
    else
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "probe status " << status;

    fcntl(master, F_SETFL, O_NONBLOCK);
    std::string terminal = readAll(master);  // ends in EIO/EAGAIN once drained
    close(master);
    lseek(outFile, 0, SEEK_SET);
    lseek(errFile, 0, SEEK_SET);
    if (stdoutSink != Sink::SlowPipe) run.out = stdoutSink == Sink::Terminal ? terminal : readAll(outFile);
    run.err = stderrOnTerminal || stdoutSink == Sink::Shared ? "" : readAll(errFile);
    close(outFile);
    close(errFile);
    return run;
}

std::string line(const std::string &levelName, int code, const std::string &text,
                 const std::string &hostGroup = PINNED_HOST_GROUP, const std::string &module = "[probe] ") {
    return PINNED_TIME_GROUP + hostGroup + "[0.0.0:9]" + module + "<<" + std::to_string(code) + ">> [probe.c:1][main:" +
           levelName + "] : " + text + "\n";
}

const std::string kReset = "\033[0m";

TEST(Color, OnForATerminalWithTermWithEachLevelsEscapeOnStandardError) {
    ProbeRun run = runProbe(Sink::Terminal, {"TERM=xterm"}, {"1:a", "2:b", "3:c", "4:d", "5:e", "6:f"});
    EXPECT_EQ(run.out, line("Fatal!", 117, "a") + line("Error!", 118, "b") + line("Warning", 119, "c") +
                           line("Info", 120, "d") + line("Verbose", 121, "e") + line("Debug", 122, "f"));
    EXPECT_EQ(run.err, "\033[1;4;31m" + kReset + "\033[1;4;31m" + kReset + "\033[1;4;33m" + kReset + "\033[0;34m" +
                           kReset + "\033[0;32m" + kReset + "\033[0;32m" + kReset);
}

TEST(Color, OnATerminalTheLineSitsBetweenItsEscapeAndTheReset) {
    ProbeRun run = runProbe(Sink::Terminal, {"TERM=xterm"}, {"4:blue", "3:yellow"}, true);
    EXPECT_EQ(run.out, "\033[0;34m" + line("Info", 120, "blue") + kReset + "\033[1;4;33m" +
                           line("Warning", 119, "yellow") + kReset);
}

TEST(Color, OffOnATerminalWithoutTerm) {
    ProbeRun run = runProbe(Sink::Terminal, {}, {"2:plain"});
    EXPECT_EQ(run.out, line("Error!", 118, "plain"));
    EXPECT_EQ(run.err, "");
}

TEST(Color, OffForAFileUnlessForced) {
    ProbeRun plain = runProbe(Sink::File, {"TERM=xterm"}, {"2:file"});
    EXPECT_EQ(plain.out, line("Error!", 118, "file"));
    EXPECT_EQ(plain.err, "");

    ProbeRun forced = runProbe(Sink::File, {"TERM=xterm", "LOG_FORCE_COLOR="}, {"2:file"});
    EXPECT_EQ(forced.out, line("Error!", 118, "file"));
    EXPECT_EQ(forced.err, "\033[1;4;31m" + kReset);
}

TEST(Color, NoColorAndForceNoColorWinEvenWhenEmpty) {
    ProbeRun noColor = runProbe(Sink::Terminal, {"TERM=xterm", "NO_COLOR=", "LOG_FORCE_COLOR=1"}, {"2:x"});
    EXPECT_EQ(noColor.out, line("Error!", 118, "x"));
    EXPECT_EQ(noColor.err, "");

    ProbeRun forceNoColor = runProbe(Sink::Terminal, {"TERM=xterm", "LOG_FORCE_NOCOLOR=", "LOG_FORCE_COLOR=1"}, {"2:y"});
    EXPECT_EQ(forceNoColor.out, line("Error!", 118, "y"));
    EXPECT_EQ(forceNoColor.err, "");
}

TEST(Color, TheFirstLinesDecisionHoldsWhateverTheEnvironmentDoesLater) {
    ProbeRun on = runProbe(Sink::Terminal, {"TERM=xterm"}, {"4:first", "+NO_COLOR=1", "!TERM", "4:second"});
    EXPECT_EQ(on.err, "\033[0;34m" + kReset + "\033[0;34m" + kReset);

    ProbeRun off = runProbe(Sink::File, {}, {"4:first", "+LOG_FORCE_COLOR=1", "4:second"});
    EXPECT_EQ(off.err, "");
    EXPECT_EQ(off.out, line("Info", 120, "first") + line("Info", 120, "second"));
}

TEST(Color, LevelsOutsideOneToSixKeepTheirEscapeAroundTheReport) {
    ProbeRun run = runProbe(Sink::File, {"LOG_FORCE_COLOR=1"}, {"0:zero", "9:nine", "-2:negative"});
    EXPECT_EQ(run.out, "colored_LogOutput: level is [0],error.\n"
                       "colored_LogOutput: level is [9],error.\n"
                       "colored_LogOutput: level is [-2],error.\n");
    EXPECT_EQ(run.err, "\033[1;0;30m" + line("Assert", 116, "zero") + kReset + "\033[0;32m" +
                           line("Undefined", 125, "nine") + kReset + "\033[0;32m" +
                           line("Undefined", 114, "negative") + kReset);
}

TEST(FirstClockRead, AClockNeverReadShowsTheZeroRecord) {
    setenv("CLOCK_SHIM_TIME", "fail", 1);
    ProbeRun run = runProbe(Sink::File, {}, {"4:never read"});
    setenv("CLOCK_SHIM_TIME", "1443115895.042000", 1);
    EXPECT_EQ(run.out, "[Reserved-00-0000, Sun.][00:00:00.000] " PINNED_HOST_GROUP
                       "[0.0.0:9][probe] <<120>> [probe.c:1][main:Info] : never read\n");
}

TEST(HostSafety, LinesWrittenBeforeACrashAreInTheFile) {
    ProbeRun run = runProbe(Sink::File, {}, {"4:info", "1:fatal", "abort"});
    EXPECT_EQ(run.out, line("Info", 120, "info") + line("Fatal!", 117, "fatal"));
}

TEST(HostSafety, ChildrenThatExitDoNotRepeatTheParentsLines) {
    ProbeRun run = runProbe(Sink::File, {}, {"4:before fork", "fork:3", "4:after"});
    EXPECT_EQ(run.out, line("Info", 120, "before fork") + line("Info", 120, "after"));
}

TEST(HostSafety, AChildForkedWhileOtherThreadsLogCanLogAtOnce) {
    ProbeRun run = runProbe(Sink::File, {}, {"busyfork:40"});
    EXPECT_EQ(run.err, "");
    std::istringstream lines(run.out);
    std::string text;
    std::vector<int> childLines(40);
    while (std::getline(lines, text)) {
        int child = -1;
        if (sscanf(text.c_str(), PINNED_TIME_GROUP PINNED_HOST_GROUP "[0.0.0:9][probe] <<120>> [probe.c:1][main:Info] : child %d",
                   &child) == 1 && child >= 0 && child < 40)
            childLines[child]++;
        else
            ASSERT_EQ(text + "\n", line("Verbose", 121, "busy"));
    }
    EXPECT_EQ(childLines, std::vector<int>(40, 1));
}

TEST(HostSafety, AGoneReaderFailsTheCallWithoutASignal) {
    // The probe checks that no SIGPIPE is left pending by the call, and that
    // one the host already had pending stays so.
    for (Sink gone : {Sink::GonePipe, Sink::GoneSocket}) {
        ProbeRun run = runProbe(gone, {}, {"4:nobody reads", "pending", "4:still nobody", "tally"});
        EXPECT_EQ(run.err, "2 calls, 2 failed\n");
    }
}

TEST(HostSafety, ANonBlockingOutputWaitsForItsReaderAndDropsOnlyWholeLines) {
    ProbeRun run = runProbe(Sink::SlowPipe, {}, {"many:3000", "tally"});
    int failed = -1;
    ASSERT_EQ(sscanf(run.err.c_str(), "3000 calls, %d failed\n", &failed), 1) << run.err;
    EXPECT_GE(failed, 1) << "the reader paused 1.5 s";
    std::istringstream lines(run.out);
    std::string text;
    int arrived = 0, previous = -1;
    while (std::getline(lines, text)) {
        int sequence = -1;
        ASSERT_EQ(sscanf(text.c_str() + line("Info", 120, "").size() - 1, "line %d", &sequence), 1) << text;
        ASSERT_GT(sequence, previous);
        ASSERT_EQ(text + "\n", line("Info", 120, "line " + std::to_string(sequence)));
        previous = sequence;
        arrived++;
    }
    EXPECT_EQ(arrived, 3000 - failed);
}

TEST(HostSafety, ErrnoStaysAsTheCallerLeftItAndFailuresSayWhy) {
    // The probe exits 3 when a call changes errno.
    ProbeRun run = runProbe(Sink::File, {"TERM=xterm"}, {"4:first", "noeth0", "4:no eth0", "nofds", "4:no descriptor"});
    EXPECT_EQ(run.out, line("Info", 120, "first") + "get_MachineInfo: get device [eth0] mac error.\n" +
                           line("Info", 120, "no eth0", "") + "get_MachineInfo: get device [eth0] socket error.\n" +
                           line("Info", 120, "no descriptor", ""));
}

// Both streams in one file, four threads: each line sits between its escape
// and the reset, and a formatter's message comes just before its line.
TEST(HostSafety, ColourSpansStayWholeInOneStream) {
    ProbeRun run = runProbe(Sink::Shared, {"LOG_FORCE_COLOR="}, {"threads:4:400"});
    const std::string escapes[] = {"", "\033[1;4;31m", "\033[1;4;31m", "\033[1;4;33m",
                                   "\033[0;34m", "\033[0;32m", "\033[0;32m"};
    const std::string note = "get_ErrorCode: logtype [3] is error.\n";
    const char *levelNames[] = {"", "Fatal!", "Error!", "Warning", "Info", "Verbose", "Debug"};
    std::vector<int> next(4, 0);
    size_t at = 0, reset;
    while ((reset = run.out.find(kReset, at)) != std::string::npos) {
        std::string unit = run.out.substr(at, reset - at);
        int thread = -1, sequence = -1;
        sscanf(unit.c_str() + std::min(unit.find(" : thread "), unit.size()), " : thread %d line %d", &thread, &sequence);
        ASSERT_TRUE(thread >= 0 && thread < 4 && sequence == next[thread]++) << unit;
        int level = sequence % 6 + 1;
        bool odd = sequence % 10 == 0;
        ASSERT_EQ(unit, (odd ? note : "") + escapes[level] +
                            line(levelNames[level], odd ? 0 : 116 + level,
                                 "thread " + std::to_string(thread) + " line " + std::to_string(sequence),
                                 PINNED_HOST_GROUP, odd ? "[odd] " : "[probe] "));
        at = reset + kReset.size();
    }
    EXPECT_EQ(at, run.out.size());
    EXPECT_EQ(next, std::vector<int>(4, 400));
}

}  // namespace
