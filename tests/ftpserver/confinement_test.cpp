// A thread that confines itself reaches the served root and the few files
// the server needs and binds only its ports, while the host's threads reach
// everything; the end-to-end confinement test and every suite run confined
// prove the rest.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "confine/Confinement.h"
#include "confine/Landlock.h"

using osprel::Confinement;
using osprel::ConfinementOffer;

namespace {

// The emulator that binfmt_misc runs this program under (qemu-user, which
// gives an emulated thread no seccomp filter and no Landlock), or "" when
// the kernel runs it itself.  /proc/self/exe is the emulated program, even
// to the emulator.
std::string emulatorOfThisProgram() {
    std::string header(128, '\0');
    std::ifstream("/proc/self/exe", std::ios::binary).read(header.data(), static_cast<std::streamsize>(header.size()));
    std::string word;
    std::ifstream("/proc/sys/fs/binfmt_misc/status") >> word;
    DIR *handlers = word == "enabled" ? opendir("/proc/sys/fs/binfmt_misc") : nullptr;
    std::string emulator;
    for (dirent *entry; handlers != nullptr && emulator.empty() && (entry = readdir(handlers)) != nullptr;) {
        std::ifstream handler(std::string("/proc/sys/fs/binfmt_misc/") + entry->d_name);
        std::string state, interpreter, magic, mask;
        size_t offset = 0;
        handler >> state;
        while (handler >> word) {
            if (word == "interpreter") handler >> interpreter;
            if (word == "offset") handler >> offset;
            if (word == "magic") handler >> magic;
            if (word == "mask") handler >> mask;
        }
        bool matches = state == "enabled" && !magic.empty() && offset + magic.size() / 2 <= header.size();
        for (size_t i = 0; matches && i < magic.size() / 2; ++i) {
            unsigned bits = mask.empty() ? 0xff : std::stoul(mask.substr(2 * i, 2), nullptr, 16);
            matches = (static_cast<unsigned char>(header[offset + i]) & bits) ==
                      (std::stoul(magic.substr(2 * i, 2), nullptr, 16) & bits);
        }
        if (matches) emulator = interpreter;
    }
    if (handlers != nullptr) closedir(handlers);
    return emulator;
}

int errorOf(bool done) { return done ? 0 : errno; }

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

int bindPort(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    int error = errorOf(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    close(fd);
    return error;
}

int createFile(const std::string &path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) close(fd);
    return errorOf(fd >= 0);
}

int readFile(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd >= 0) close(fd);
    return errorOf(fd >= 0);
}

class ConfinementTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string emulator = emulatorOfThisProgram();
        if (!emulator.empty())
            GTEST_SKIP() << "run by " << emulator << " (binfmt_misc), which confines no emulated thread";
        char pattern[] = "/tmp/osprel-confine-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        top_ = pattern;
        for (const char *dir : {"/root", "/root/a", "/outside", "/accounts", "/log"})
            ASSERT_EQ(mkdir((top_ + dir).c_str(), 0700), 0);
        for (const char *file : {"/root/a/f", "/outside/secret", "/accounts/users"})
            std::ofstream(top_ + file) << file;
        rootFd_ = open((top_ + "/root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        config_.root = top_ + "/root";
        config_.usersFile = top_ + "/accounts/users";
        config_.transferLogPath = top_ + "/log/xferlog";
        controlPort_ = freePort();
        lastPassive_ = freePort();
        config_.firstPassivePort = lastPassive_ - osprel::kPassivePortCount + 1;
        int missing = 0;
        kernelAbi_ = osprel::LandlockRuleset::kernelAbi(&missing);
    }
    void TearDown() override {
        if (rootFd_ >= 0) close(rootFd_);
        if (!top_.empty()) {
            ASSERT_EQ(system(("rm -rf '" + top_ + "'").c_str()), 0);
        }
    }

    std::unique_ptr<Confinement> prepare() {
        std::string error;
        auto confinement = Confinement::prepare(config_, rootFd_, controlPort_, &error);
        EXPECT_NE(confinement, nullptr) << error;
        return confinement;
    }

    // The result of attempt on a thread confined by confinement.
    static int confined(const Confinement &confinement, const std::function<int()> &attempt) {
        int result = -1;
        std::thread([&] {
            std::string error;
            ASSERT_TRUE(confinement.confineThisThread(&error)) << error;
            result = attempt();
        }).join();
        return result;
    }

    std::string top_;
    int rootFd_ = -1;
    osprel::ServerConfig config_;
    int controlPort_ = 0;
    int lastPassive_ = 0;
    int kernelAbi_ = 0;

    int otherPort() const {
        for (;;) {
            int port = freePort();
            if (port != controlPort_ && (port < config_.firstPassivePort || port > lastPassive_)) return port;
        }
    }
};

// What the end-to-end suites cannot see: files the server reaches only
// later (renewals, rotation), ports whose refusal it ignores (an active
// connection's source address) or seldom reaches (the last passive port).
TEST_F(ConfinementTest, ConfinedThreadsReachTheServersFilesAndPortsOnlyWhileTheHostReachesAll) {
    auto confinement = prepare();
    ASSERT_NE(confinement, nullptr);
    EXPECT_EQ(confinement->offer().landlockAbi, kernelAbi_);
    EXPECT_TRUE(confinement->offer().seccomp) << confinement->offer().seccompMissing;
    // Renewed by rename after the rules were made: a new file.
    std::ofstream(top_ + "/accounts/users.new") << "renewed";
    ASSERT_EQ(rename((top_ + "/accounts/users.new").c_str(), (top_ + "/accounts/users").c_str()), 0);
    int files = kernelAbi_ >= 1 ? EACCES : 0;
    int ports = kernelAbi_ >= 4 ? EACCES : 0;
    const std::vector<std::pair<std::function<int()>, int>> attempts = {
        {[&] { return readFile(top_ + "/outside/secret"); }, files},
        {[&] { return createFile(top_ + "/accounts/new"); }, files},
        {[&] { return readFile(top_ + "/accounts/users"); }, 0},
        {[&] { return createFile(top_ + "/log/xferlog"); }, 0},
        {[&] { return bindPort(otherPort()); }, ports},
        {[&] { return bindPort(controlPort_); }, 0},
        {[&] { return bindPort(lastPassive_); }, 0},
        {[] { return bindPort(0); }, 0},
    };
    for (size_t i = 0; i < attempts.size(); ++i) {
        EXPECT_EQ(confined(*confinement, attempts[i].first), attempts[i].second) << "attempt " << i;
        EXPECT_EQ(attempts[i].first(), 0) << "attempt " << i << ", from the host's thread";
    }
}

TEST_F(ConfinementTest, NoLoginMayWriteSoNothingIsWrittenAndTurnedOffConfinesNothing) {
    config_.usersFile.clear();  // anonymous logins, read-only
    auto confinement = prepare();
    ASSERT_NE(confinement, nullptr);
    EXPECT_EQ(confined(*confinement, [&] { return createFile(top_ + "/root/a/new"); }), kernelAbi_ >= 1 ? EACCES : 0);
    EXPECT_EQ(confined(*confinement, [&] { return readFile(top_ + "/root/a/f"); }), 0);
    config_.confine = false;
    confinement = prepare();
    ASSERT_NE(confinement, nullptr);
    EXPECT_EQ(confined(*confinement, [&] { return readFile(top_ + "/outside/secret"); }), 0);
}

#if defined(__x86_64__)
TEST_F(ConfinementTest, CallsThroughTheI386EntryAreRefusedWhole) {
    auto confinement = prepare();
    ASSERT_NE(confinement, nullptr);
    // 20 is getpid there (execve is 11).  A kernel without that entry faults
    // the caller, so a child tries it first.
    auto i386Getpid = [] {
        long result = 20;
        asm volatile("int $0x80" : "+a"(result) : : "r8", "r9", "r10", "r11", "memory");
        return result;
    };
    pid_t child = fork();
    if (child == 0) _exit(i386Getpid() == getpid() ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) GTEST_SKIP() << "this kernel has no i386 entry";
    EXPECT_EQ(confined(*confinement, [&] { return static_cast<int>(-i386Getpid()); }), ENOSYS);
}
#endif

TEST(ConfinementWords, SayWhatIsOnAndWhy) {
    auto words = [](bool wanted, int abi, bool seccomp) {
        const char *noLandlock = abi == 0 ? "the kernel offers no Landlock" : "";
        const char *noSeccomp = seccomp ? "" : "the kernel offers no seccomp filter";
        return osprel::confinementWords(ConfinementOffer{wanted, abi, noLandlock, seccomp, noSeccomp});
    };
    EXPECT_EQ(words(true, 7, true), ", confined (Landlock 7, seccomp)");
    EXPECT_EQ(words(true, 1, false), ", confined (Landlock 1): the kernel offers no seccomp filter");
    EXPECT_EQ(words(true, 0, true), ", not confined: the kernel offers no Landlock (seccomp only)");
    EXPECT_EQ(words(true, 0, false),
              ", not confined: the kernel offers no Landlock; the kernel offers no seccomp filter");
    EXPECT_EQ(words(false, 0, false), ", not confined (OSPREL_FTP_CONFINE=0)");
}

}  // namespace
