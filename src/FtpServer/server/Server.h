// The listening side: the control port, the session threads and their
// limit, and the stop that drains them.
#pragma once

#include <poll.h>

#include <atomic>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "access/Accounts.h"
#include "access/Authenticator.h"
#include "base/Renewal.h"
#include "base/StopSignal.h"
#include "config/ServerConfig.h"
#include "confine/Confinement.h"
#include "events/ServerEvents.h"
#include "net/AddressLimits.h"
#include "net/DataConnection.h"
#include "net/LingeringClose.h"
#include "session/Session.h"
#include "tls/TlsContext.h"
#include "transfer/RateLimit.h"
#include "transfer/TransferLog.h"

namespace osprel {

class Server {
public:
    // config, events and counters must outlive the server.  Throws
    // std::system_error when the stop's descriptors cannot be had.
    Server(const ServerConfig &config, EventQueue &events, ServerCounters &counters);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Opens the served root (creating the default one), loads the accounts
    // file when there is one and the TLS certificate and key when TLS is on,
    // opens the transfer log when one is named, and opens the control port.
    // Returns false with a one-line reason in *error.
    bool open(std::string *error);
    // The port it listens on, once open.
    int controlPort() const { return controlPort_; }
    // What confines the server's threads, as tried when it opened.
    const ConfinementOffer &confinement() const { return confinement_->offer(); }

    // Serves until stopped, and returns once every session has ended.  The
    // server's own thread accepts clients, and each session runs on a
    // thread of its own, at most kMaxSessions at once and
    // maxSessionsPerAddress from one address.  That thread confines itself
    // first, and the sessions inherit it.  False, with errno, when that
    // thread cannot be started or confined (said on standard error).  Once
    // only.
    bool run();

    // From any thread, without waiting: the control port stops listening,
    // sessions between commands end, transfers run until `drain` has passed.
    // A later call may shorten the drain.
    void stop(Clock::duration drain);

private:
    // A session's thread and its control connection, which is closed here
    // once the thread has ended, so it can be shut down safely till then.
    struct SessionThread {
        int controlFd;
        std::string key;
        std::thread thread;
        std::atomic<bool> ended{false};
    };
    // Sessions still cut by a stop past this get their control connections
    // shut down, which ends any wait they are in.
    static constexpr auto kStopGrace = std::chrono::seconds(2);
    static constexpr size_t kMaxLingering = 64;

    bool openRoot(std::string *error);
    bool listenForClients(std::string *error);
    void serverThread();
    void acceptClients();
    void startSession(int controlFd);
    void sessionThread(SessionThread &session, unsigned long long number);
    void refuse(int controlFd, const char *reply);
    void finishSessions();
    void reapSessions();
    // The poll entries of what the server thread waits for: the ended
    // sessions' signal and the refused connections' last words.
    void addWaits(std::vector<pollfd> *fds, Clock::time_point *wake);
    void serviceLingering();
    void closeListener();

    const ServerConfig &config_;
    EventQueue &events_;
    ServerCounters &counters_;
    StopSignal stop_;
    int rootFd_ = -1;
    std::mutex listenMutex_;  // the stop shuts down what the server thread closes
    int listenFd_ = -1;
    int controlPort_ = 0;
    int endedFd_ = -1;  // readable after a session ended
    std::unique_ptr<Renewable<TlsContext>> tls_;
    std::unique_ptr<TransferLog> transferLog_;
    PassivePortRange passivePorts_;
    LoginThrottle logins_;
    std::unique_ptr<Renewable<AccountTable>> accounts_;
    Authenticator authenticator_;
    TotalRate totalRate_;
    ServerContext context_;
    std::atomic<int> sessionCount_{0};
    SessionSlots slots_;
    // The server thread's alone.
    std::list<SessionThread> sessions_;
    std::deque<LingeringClose> lingering_;  // refused connections, oldest first
    unsigned long long sessionsStarted_ = 0;
    bool ran_ = false;
    std::unique_ptr<Confinement> confinement_;
    int confineFailure_ = 0;  // the server thread's errno when it could not confine itself
};

}  // namespace osprel
