// ServerMain's refusals: at once, non-zero, one line on standard error and
// nothing on standard output.  Runs in a private network namespace, so the
// monitor's fixed ports are free to take.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "capture.h"
#include "osprel.h"

namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result runServerMain(int argc, char **argv) {
    CapturedOutput captured;
    int status = ServerMain(argc, argv);
    return Result{status, captured.out.take(), captured.err.take()};
}

Result runServerMain(std::initializer_list<const char *> arguments) {
    std::vector<char *> argv;
    for (const char *argument : arguments) argv.push_back(const_cast<char *>(argument));
    return runServerMain(static_cast<int>(argv.size()), argv.data());
}

// Holds 127.0.0.1:port so the server cannot listen there.
class PortHolder {
public:
    explicit PortHolder(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && listen(fd_, 1) == 0;
    }
    ~PortHolder() { close(fd_); }
    bool bound() const { return bound_; }

private:
    int fd_;
    bool bound_ = false;
};

// Each test serves a fresh directory of its own unless it says otherwise.
class ServerMainRefusal : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(mkdtemp(root_), nullptr);
        setenv("OSPREL_FTP_ROOT", root_, 1);
        unsetenv("OSPREL_FTP_USER");
        unsetenv("OSPREL_FTP_PASSWORD");
    }
    void TearDown() override {
        unsetenv("OSPREL_FTP_ROOT");
        rmdir(root_);
    }

    char root_[32] = "/tmp/osprel-main-XXXXXX";
};

}  // namespace

TEST_F(ServerMainRefusal, BadCommandLine) {
    Result result = runServerMain({"monitor.elf", "-c", "3456", "-x", "34567"});
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "osprel: unknown option \"-x\"\n");

    result = runServerMain({"monitor.elf"});
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "osprel: usage: -c CONTROL_PORT -d FIRST_PASSIVE_PORT\n");
}

TEST_F(ServerMainRefusal, ControlPortTaken) {
    PortHolder holder(3456);
    ASSERT_TRUE(holder.bound());
    Result result = runServerMain({"monitor.elf", "-c", "3456", "-d", "34567"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "osprel: cannot listen on 127.0.0.1 port 3456: Address already in use\n");
}

TEST_F(ServerMainRefusal, RootsItCannotOrMayNotServe) {
    const char *const refusals[][2] = {
        {"/nonexistent/osprel", "cannot open the directory to serve, /nonexistent/osprel: No such file or directory"},
        // The whole file system only when named so, never through "..".
        {"/tmp/..", "refusing to serve / (reached through /tmp/..); set OSPREL_FTP_ROOT=/ to mean it"},
    };
    for (const auto &refusal : refusals) {
        setenv("OSPREL_FTP_ROOT", refusal[0], 1);
        Result result = runServerMain({"monitor.elf", "-c", "3456", "-d", "34567"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, std::string("osprel: ") + refusal[1] + "\n");
    }
}

TEST_F(ServerMainRefusal, HalfACredentialPair) {
    setenv("OSPREL_FTP_USER", "alice", 1);
    Result result = runServerMain({"monitor.elf", "-c", "3456", "-d", "34567"});
    unsetenv("OSPREL_FTP_USER");
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err,
              "osprel: OSPREL_FTP_USER and OSPREL_FTP_PASSWORD (or OSPREL_FTP_PASSWORD_HASH) must be set together "
              "(or neither, for anonymous login)\n");
}

TEST_F(ServerMainRefusal, RateCapsPassiveAddressAndTransferLogItCannotUse) {
    const struct {
        const char *name;
        const char *value;
        int status;
        int cause;
        const char *line;
    } refusals[] = {
        {"OSPREL_FTP_MAX_RATE", "1MB", 2, EINVAL,
         "OSPREL_FTP_MAX_RATE must be bytes per second up to 1024G, with an optional K, M or G suffix (0: no cap), "
         "not \"1MB\""},
        {"OSPREL_FTP_PASSIVE_ADDRESS", "nat.example", 2, EINVAL,
         "OSPREL_FTP_PASSIVE_ADDRESS must be a numeric IPv4 address clients can reach, not \"nat.example\""},
        {"OSPREL_FTP_TRANSFER_LOG", "/nonexistent/xferlog", 1, ENOENT,
         "cannot open the transfer log, /nonexistent/xferlog: No such file or directory"},
    };
    for (const auto &refusal : refusals) {
        setenv(refusal.name, refusal.value, 1);
        Result result = runServerMain({"monitor.elf", "-c", "3456", "-d", "34567"});
        int cause = errno;
        unsetenv(refusal.name);
        EXPECT_EQ(result.status, refusal.status);
        EXPECT_EQ(cause, refusal.cause);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, std::string("osprel: ") + refusal.line + "\n");
    }
}

TEST_F(ServerMainRefusal, ReadsOnlyArgcEntriesOfReadOnlyTexts) {
    // Entries end at an inaccessible page; the texts live in read-only memory.
    long page = sysconf(_SC_PAGESIZE);
    auto *pages = static_cast<char *>(mmap(nullptr, static_cast<size_t>(3 * page), PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    char *texts = pages + 2 * page;
    const char source[] = "monitor.elf\0-c\0" "3456\0-d\0" "34567";
    memcpy(texts, source, sizeof source);
    char **argv = reinterpret_cast<char **>(pages + page) - 5;
    size_t offsets[] = {0, 12, 15, 20, 23};
    for (int i = 0; i < 5; ++i) argv[i] = texts + offsets[i];
    ASSERT_EQ(mprotect(pages + page, static_cast<size_t>(page), PROT_NONE), 0);
    ASSERT_EQ(mprotect(texts, static_cast<size_t>(page), PROT_READ), 0);

    PortHolder holder(3456);
    ASSERT_TRUE(holder.bound());
    Result result = runServerMain(5, argv);
    EXPECT_EQ(result.status, 1);  // got as far as listening
    EXPECT_EQ(result.err, "osprel: cannot listen on 127.0.0.1 port 3456: Address already in use\n");
    EXPECT_STREQ(argv[2], "3456");
    munmap(pages, static_cast<size_t>(3 * page));
}

TEST_F(ServerMainRefusal, LeavesTheCallersSignalMaskAsItWas) {
    sigset_t before;
    sigset_t after;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    runServerMain({"monitor.elf"});
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    EXPECT_EQ(sigismember(&before, SIGPIPE), sigismember(&after, SIGPIPE));
}
