// The listening side: the control port, the session threads and their limit.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "access/Accounts.h"
#include "access/Authenticator.h"
#include "base/Renewal.h"
#include "config/ServerConfig.h"
#include "net/AddressLimits.h"
#include "net/DataConnection.h"
#include "session/Session.h"
#include "tls/TlsContext.h"
#include "transfer/RateLimit.h"
#include "transfer/TransferLog.h"

namespace osprel {

class Server {
public:
    explicit Server(const ServerConfig &config);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Opens the served root (creating the default one), loads the accounts
    // file when there is one and the TLS certificate and key when TLS is on,
    // opens the transfer log when one is named, and opens the control port.
    // Returns false with a one-line reason in *error.
    bool open(std::string *error);

    // Accepts clients for the server's life; each session runs on a thread of
    // its own, at most kMaxSessions at once and maxSessionsPerAddress from
    // one address.
    void serve();

private:
    bool openRoot(std::string *error);
    void startSession(int controlFd);
    static void refuse(int controlFd, const char *reply);

    const ServerConfig &config_;
    int rootFd_ = -1;
    int listenFd_ = -1;
    std::unique_ptr<Renewable<TlsContext>> tls_;
    std::unique_ptr<TransferLog> transferLog_;
    PassivePortRange passivePorts_;
    LoginThrottle logins_;
    std::unique_ptr<Renewable<AccountTable>> accounts_;
    Authenticator authenticator_;
    TotalRate totalRate_;
    ServerContext context_;
    std::atomic<int> sessions_{0};
    SessionSlots slots_;
};

}  // namespace osprel
