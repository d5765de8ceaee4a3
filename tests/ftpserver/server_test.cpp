// What the server shares between sessions: the limits per address, and the
// fault barrier around each session.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>
#include <thread>

#include "AddressLimits.h"
#include "Session.h"

namespace {

// Allocations of 64 KiB and more fail while armed, as when memory runs out
// in the middle of a session.
std::atomic<bool> g_failBigAllocations{false};

}  // namespace

void *operator new(size_t size) {
    void *memory = size >= (size_t{64} << 10) && g_failBigAllocations.load() ? nullptr : malloc(size ? size : 1);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}
void operator delete(void *memory) noexcept { free(memory); }
void operator delete(void *memory, size_t) noexcept { free(memory); }

namespace {

using osprel::LoginThrottle;
using Seconds = std::chrono::seconds;

TEST(LoginThrottle, LocksAnAddressAfterRepeatedFailuresAcrossSessions) {
    LoginThrottle throttle;
    auto now = LoginThrottle::Clock::now();
    // Attempts being checked at once count too: parallel sessions gain nothing.
    for (int i = 0; i < LoginThrottle::kFailuresBeforeLock; ++i) ASSERT_TRUE(throttle.begin("a", now));
    EXPECT_FALSE(throttle.begin("a", now));
    for (int i = 0; i < LoginThrottle::kFailuresBeforeLock; ++i) throttle.finish("a", false, now);
    EXPECT_FALSE(throttle.begin("a", now + LoginThrottle::kLockTime - Seconds(1)));
    EXPECT_TRUE(throttle.begin("b", now));  // other addresses are not held up
    throttle.finish("b", true, now);
    // The lock ends kLockTime after the last failure, and a success forgets.
    EXPECT_TRUE(throttle.begin("a", now + LoginThrottle::kLockTime));
    throttle.finish("a", true, now + LoginThrottle::kLockTime);
    for (int i = 0; i < LoginThrottle::kFailuresBeforeLock - 1; ++i) {
        ASSERT_TRUE(throttle.begin("a", now));
        throttle.finish("a", false, now);
    }
    EXPECT_TRUE(throttle.begin("a", now));
}

TEST(SessionSlots, CountsSessionsPerAddress) {
    osprel::SessionSlots slots(2);
    EXPECT_TRUE(slots.take("a"));
    EXPECT_TRUE(slots.take("a"));
    EXPECT_FALSE(slots.take("a"));
    EXPECT_TRUE(slots.take("b"));
    slots.release("a");
    EXPECT_TRUE(slots.take("a"));
}

// Reads what the server sends until it closes the connection.
std::string readToEnd(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
}

// One session over a socket pair, driven by `script`; returns all it said.
std::string runSession(osprel::ServerContext &context, const std::string &script, bool failAfterLogin) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    std::thread session([&context, fd = fds[1]] { osprel::serveClient(context, fd); });
    std::string login = "USER a\r\nPASS b\r\n";
    EXPECT_EQ(send(fds[0], login.data(), login.size(), 0), static_cast<ssize_t>(login.size()));
    std::string said;
    while (said.find("230 ") == std::string::npos) {
        char buffer[256];
        ssize_t n = recv(fds[0], buffer, sizeof buffer, 0);
        if (n <= 0) break;
        said.append(buffer, static_cast<size_t>(n));
    }
    g_failBigAllocations = failAfterLogin;
    EXPECT_EQ(send(fds[0], script.data(), script.size(), 0), static_cast<ssize_t>(script.size()));
    said += readToEnd(fds[0]);
    session.join();
    g_failBigAllocations = false;
    close(fds[0]);
    return said;
}

TEST(FaultBarrier, AllocationFailureEndsThatSessionAloneWith421) {
    char base[] = "/tmp/osprel-barrier-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    osprel::ServerConfig config;
    config.root = base;
    int rootFd = open(base, O_PATH | O_DIRECTORY);
    osprel::PassivePortRange ports(40000, 64);
    LoginThrottle logins;
    osprel::ServerContext context{config, rootFd, ports, logins};
    const std::string greeting = "220 osprel FTP server ready.\r\n331 Please specify the password.\r\n"
                                 "230 Login successful.\r\n";

    EXPECT_EQ(runSession(context, "STAT /\r\n", true),
              greeting + "213-Status follows:\r\n421 Internal error, closing the session.\r\n");
    // The process, and the next session, go on.
    EXPECT_EQ(runSession(context, "STAT /\r\nQUIT\r\n", false),
              greeting + "213-Status follows:\r\n213 End of status\r\n221 Goodbye.\r\n");
    close(rootFd);
    rmdir(base);
}

}  // namespace
