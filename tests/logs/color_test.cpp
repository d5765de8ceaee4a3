// The colour decision and the escapes, through a real pseudo-terminal.  Each
// case runs a fresh probe process: the decision is taken once per process.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "capture.h"
#include "pinned_host.h"

namespace {

enum class Sink { Terminal, File };

struct ProbeRun {
    std::string out;  // standard output (the terminal's bytes when it is one)
    std::string err;  // standard error
};

int tempFile() {
    char path[] = "/tmp/probeXXXXXX";
    int fd = mkstemp(path);
    unlink(path);
    return fd;
}

// Runs the probe with exactly `environment` (plus the pinned clock and zone)
// and `arguments`.  stderrOnTerminal puts both streams on one terminal.
ProbeRun runProbe(Sink stdoutSink, std::vector<std::string> environment, std::vector<std::string> arguments,
             bool stderrOnTerminal = false) {
    int master = -1, slave = -1;
    struct termios raw;
    cfmakeraw(&raw);  // no newline translation: the test sees the bytes written
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) ADD_FAILURE() << "openpty failed";
    int outFile = tempFile(), errFile = tempFile();

    environment.push_back("TZ=UTC");
    environment.push_back(std::string("CLOCK_SHIM_TIME=") + (getenv("CLOCK_SHIM_TIME") ?: ""));
    std::vector<char *> envp, argv{const_cast<char *>(PROBE_PATH)};
    for (auto &entry : environment) envp.push_back(entry.data());
    for (auto &argument : arguments) argv.push_back(argument.data());
    envp.push_back(nullptr);
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child == 0) {
        dup2(stdoutSink == Sink::Terminal ? slave : outFile, 1);
        dup2(stderrOnTerminal ? slave : errFile, 2);
        execve(PROBE_PATH, argv.data(), envp.data());
        _exit(127);
    }
    close(slave);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "probe status " << status;

    ProbeRun run;
    fcntl(master, F_SETFL, O_NONBLOCK);
    std::string terminal = readAll(master);  // ends in EIO/EAGAIN once drained
    close(master);
    lseek(outFile, 0, SEEK_SET);
    lseek(errFile, 0, SEEK_SET);
    run.out = stdoutSink == Sink::Terminal ? terminal : readAll(outFile);
    run.err = stderrOnTerminal ? "" : readAll(errFile);
    close(outFile);
    close(errFile);
    return run;
}

std::string line(const std::string &levelName, int code, const std::string &text) {
    return PINNED_TIME_GROUP PINNED_HOST_GROUP "[0.0.0:9][probe] <<" + std::to_string(code) + ">> [probe.c:1][main:" +
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

}  // namespace
