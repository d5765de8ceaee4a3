// InitMonitor with the real libdunmarr and libosprel, in a network namespace
// of its own: the server it starts serves a file to an FTP client, and a
// server that cannot listen fails the start-up.  Each test runs in a process
// of its own (see CMakeLists.txt): a server, once started, keeps its port.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "capture.h"
#include "monitor_lines.h"
#include "process_view.h"
#include "trevant.h"

extern char **environ;

namespace {

std::string patternedBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
    return bytes;
}

std::string readFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// Runs a command to completion; its exit status, or -1.
int runCommand(std::vector<std::string> words) {
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child;
    if (posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(MonitorEndToEnd, TheStartedServerServesAFileOverFtp) {
    char root[] = "/tmp/trevant-ftp-rootXXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    const std::string content = patternedBytes(100000);
    std::ofstream(std::string(root) + "/report.bin", std::ios::binary) << content;
    ASSERT_EQ(setenv("OSPREL_FTP_ROOT", root, 1), 0);

    CapturedOutput output;
    EXPECT_EQ(InitMonitor(), 0);
    std::string out = output.out.take();
    std::string err = output.err.take();
    EXPECT_NE(out.find("[MonitorFTPServerTask:Info] : MonitorFTPServerTask::[MonitorFTPServerTask]\n"),
              std::string::npos)
        << out;

    // The task thread, under the task's name, waits for the server's own
    // thread, under the server's.
    int named = 0;
    int server = 0;
    for (const auto &entry : threadNames()) {
        named += entry.second == "MonitorFTPServe";
        server += entry.second == "osprel-server";
    }
    EXPECT_EQ(named, 1);
    EXPECT_EQ(server, 1);

    std::string downloaded = std::string(root) + "/downloaded.bin";
    ASSERT_EQ(runCommand({"curl", "--silent", "--show-error", "--max-time", "30", "--output", downloaded,
                          "ftp://127.0.0.1:3456/report.bin"}),
              0)
        << "server said: " << err;
    EXPECT_TRUE(readFile(downloaded) == content) << "downloaded " << readFile(downloaded).size() << " bytes";

    unlink(downloaded.c_str());
    unlink((std::string(root) + "/report.bin").c_str());
    rmdir(root);
}

TEST(MonitorEndToEnd, ATakenPortIsReportedAndFailsTheStartUp) {
    int squatter = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(3456);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(squatter, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(squatter, 1), 0);

    CapturedOutput output;
    EXPECT_EQ(InitMonitor(), -1);
    std::vector<std::string> lines = splitLines(output.out.take());
    std::vector<std::string> errors = splitLines(output.err.take());
    ASSERT_EQ(lines.size(), 13u);
    const std::string why = "[MonitorThreadCreate:Error!] : FTP server did not start on port [3456]: [Address already in use].\n";
    EXPECT_EQ(lines[11].substr(lines[11].size() - std::min(lines[11].size(), why.size())), why) << lines[11];
    EXPECT_NE(lines[12].find("[InitMonitor:Debug] : InitMonitor.\n"), std::string::npos) << lines[12];
    // Only the server's own line, which it has always written.
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("osprel: ", 0), 0u) << errors[0];
    close(squatter);
}

}  // namespace
