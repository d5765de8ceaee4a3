// InitMonitor with the real libdunmarr and libosprel, in a network namespace
// of its own: the server it starts serves a file to an FTP client.

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "capture.h"
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

    // The server runs on the task thread, under the task's name.
    int named = 0;
    for (const auto &entry : threadNames()) named += entry.second == "MonitorFTPServe";
    EXPECT_EQ(named, 1);

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

}  // namespace
