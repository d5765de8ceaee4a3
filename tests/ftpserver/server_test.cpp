// What the server shares between sessions: the limits per address, the
// events' queue, and the fault barrier around each session, in clear and
// over TLS.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>
#include <thread>

#include "events/ServerEvents.h"
#include "net/AddressLimits.h"
#include "session/Session.h"
#include "tls/TlsContext.h"

namespace {

// Allocations of 64 KiB and more fail while armed, as when memory runs out
// in the middle of a session.
std::atomic<bool> g_failBigAllocations{false};

}  // namespace

// Every one out of line, so the compiler never sees malloc behind a new it
// inlined and then reads the matching delete as a mismatch
// (-Wmismatched-new-delete in optimised builds).
__attribute__((noinline)) void *operator new(size_t size, const std::nothrow_t &) noexcept {
    return size >= (size_t{64} << 10) && g_failBigAllocations.load() ? nullptr : malloc(size ? size : 1);
}
__attribute__((noinline)) void *operator new(size_t size) {
    void *memory = operator new(size, std::nothrow);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}
__attribute__((noinline)) void operator delete(void *memory) noexcept { free(memory); }
__attribute__((noinline)) void operator delete(void *memory, size_t) noexcept { free(memory); }

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

bool readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1;
}

TEST(EventQueue, KeepsNothingUnaskedThenBoundsItsTextsAndCountsWhatItDrops) {
    osprel::EventQueue queue;
    osprel::ServerEvent event;
    event.path = std::string(600 << 10, 'p');
    queue.post(osprel::ServerEvent(event));  // nobody asked yet: not kept, not dropped
    int fd = queue.descriptor();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(readable(fd));
    queue.post(osprel::ServerEvent(event));
    queue.post(osprel::ServerEvent(event));  // past 1 MiB of texts
    event.path = "/small";
    queue.post(osprel::ServerEvent(event));  // fits again
    EXPECT_TRUE(readable(fd));
    osprel::ServerEvent taken;
    ASSERT_TRUE(queue.take(&taken));
    EXPECT_EQ(taken.path.size(), size_t{600} << 10);
    EXPECT_TRUE(readable(fd));
    ASSERT_TRUE(queue.take(&taken));
    EXPECT_EQ(taken.path, "/small");
    EXPECT_EQ(taken.dropped, 1ULL);  // the one lost just before it
    EXPECT_FALSE(readable(fd));
    EXPECT_FALSE(queue.take(&taken));
    EXPECT_EQ(queue.dropped(), 1ULL);
}

// Reads what the server sends, over TLS when ssl is set, until `until`
// has arrived (or, when empty, until the server closes the connection).
std::string receive(int fd, SSL *ssl, const std::string &until = "") {
    std::string text;
    char buffer[4096];
    while (until.empty() || text.find(until) == std::string::npos) {
        int n = ssl != nullptr ? SSL_read(ssl, buffer, sizeof buffer)
                               : static_cast<int>(recv(fd, buffer, sizeof buffer, 0));
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

void sendText(int fd, SSL *ssl, const std::string &text) {
    int n = ssl != nullptr ? SSL_write(ssl, text.data(), static_cast<int>(text.size()))
                           : static_cast<int>(send(fd, text.data(), text.size(), 0));
    EXPECT_EQ(n, static_cast<int>(text.size()));
}

// A served directory and what the sessions share; with a certificate, TLS.
class FaultBarrier : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(mkdtemp(base_), nullptr);
        config_.root = base_;
        rootFd_ = open(base_, O_PATH | O_DIRECTORY);
    }
    void TearDown() override {
        close(rootFd_);
        EXPECT_EQ(system(("rm -rf " + std::string(base_)).c_str()), 0);
    }

    // One session over a socket pair (after AUTH TLS when clientTls is
    // set), driven by `script` after login; returns all it said.
    std::string runSession(const std::string &script, bool failAfterLogin, SSL_CTX *clientTls = nullptr) {
        osprel::Authenticator authenticator(config_, nullptr);
        osprel::ServerContext context{config_, rootFd_, ports_, logins_, tls_.get(), authenticator};
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        std::thread session([&context, fd = fds[1]] { osprel::serveClient(context, fd, 1); });
        SSL *ssl = nullptr;
        std::string said;
        if (clientTls != nullptr) {
            sendText(fds[0], nullptr, "AUTH TLS\r\n");
            said = receive(fds[0], nullptr, "234 Proceed with negotiation.\r\n");
            ssl = SSL_new(clientTls);
            SSL_set_fd(ssl, fds[0]);
            EXPECT_EQ(SSL_connect(ssl), 1);
        }
        sendText(fds[0], ssl, "USER a\r\nPASS b\r\n");
        said += receive(fds[0], ssl, "230 Login successful.\r\n");
        g_failBigAllocations = failAfterLogin;
        sendText(fds[0], ssl, script);
        said += receive(fds[0], ssl);
        // Closed before the join: the session lingers until its client has.
        close(fds[0]);
        session.join();
        close(fds[1]);
        g_failBigAllocations = false;
        SSL_free(ssl);
        return said;
    }

    char base_[32] = "/tmp/osprel-barrier-XXXXXX";
    osprel::ServerConfig config_;
    int rootFd_ = -1;
    osprel::PassivePortRange ports_{40000, 64};
    LoginThrottle logins_;
    std::unique_ptr<osprel::Renewable<osprel::TlsContext>> tls_;
};

const std::string kLoggedIn = "331 Please specify the password.\r\n230 Login successful.\r\n";
const std::string kFault = "213-Status follows:\r\n421 Internal error, closing the session.\r\n";

TEST_F(FaultBarrier, AllocationFailureEndsThatSessionAloneWith421) {
    const std::string greeting = "220 osprel FTP server ready.\r\n" + kLoggedIn;
    EXPECT_EQ(runSession("STAT /\r\n", true), greeting + kFault);
    // The process, and the next session, go on.
    EXPECT_EQ(runSession("STAT /\r\nQUIT\r\n", false),
              greeting + "213-Status follows:\r\n213 End of status\r\n221 Goodbye.\r\n");
}

TEST_F(FaultBarrier, UnderTlsThe421ComesOverTls) {
    std::string certificate = std::string(base_) + "/cert.pem";
    std::string key = std::string(base_) + "/key.pem";
    ASSERT_EQ(system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=localhost "
                      "-keyout " + key + " -out " + certificate + " 2>/dev/null").c_str()),
              0);
    config_.tls = {osprel::TlsMode::kAllowed, certificate, key, true};
    std::string error;
    tls_ = osprel::loadRenewedTlsContext(config_.tls, &error);
    ASSERT_NE(tls_, nullptr) << error;
    signal(SIGPIPE, SIG_IGN);  // the OpenSSL client writes with write()
    SSL_CTX *client = SSL_CTX_new(TLS_client_method());
    EXPECT_EQ(runSession("STAT /\r\n", true, client),
              "220 osprel FTP server ready.\r\n234 Proceed with negotiation.\r\n" + kLoggedIn + kFault);
    SSL_CTX_free(client);
}

}  // namespace
