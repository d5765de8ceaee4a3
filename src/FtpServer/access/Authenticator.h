// Who may log in and with what rights: anyone (anonymous) when nothing is
// configured; the one login OSPREL_FTP_USER, its password given in clear or
// as a hash; or the accounts of the accounts file, as loaded at the time of
// the login.  Password hashes are checked through the server's one
// PasswordGate, and a name without an account is checked against a decoy of
// the same scheme and cost, so timing tells nothing about which names exist.
#pragma once

#include <memory>
#include <string>

#include "access/Accounts.h"
#include "access/PasswordGate.h"
#include "base/Clock.h"
#include "base/Renewal.h"
#include "config/ServerConfig.h"

namespace osprel {

// What a login gets: the name shown by STAT, the home (a virtual path below
// the served root) and the rights (Rights.h).
struct Grant {
    std::string name;
    std::string home = "/";
    unsigned rights = 0;
    bool anonymous = false;  // an open login: any password
};

class Authenticator {
public:
    // accounts: the accounts file's, or null without one.
    Authenticator(const ServerConfig &config, Renewable<AccountTable> *accounts)
        : config_(config), accounts_(accounts) {}

    // A login as user, against the accounts as they are now.  Anonymous
    // (open) logins take any password, unchecked: never throttled.
    struct Attempt {
        std::shared_ptr<const AccountTable> accounts;
        std::string user;
        bool open = false;
    };
    Attempt attempt(const std::string &user, Clock::time_point now);

    enum class Verdict { kAccepted, kRefused, kTimedOut };
    // Checks the password; kTimedOut when no turn at the gate came by deadline.
    Verdict verify(const Attempt &attempt, const std::string &password, Clock::time_point deadline, Grant *grant);
    // The server stops: checks waiting for their turn end as timed out.
    void interrupt() { gate_.interrupt(); }

private:
    Verdict checkHash(const std::string &password, const std::string &hash, const std::string &whose,
                      Clock::time_point deadline, bool *matches);
    Verdict verifyAccount(const Attempt &attempt, const std::string &password, Clock::time_point deadline,
                          Grant *grant);
    Verdict verifyConfiguredLogin(const Attempt &attempt, const std::string &password, Clock::time_point deadline,
                                  Grant *grant);
    // OSPREL_FTP_READONLY=1 leaves only reading, whatever was granted.
    unsigned limited(unsigned rights) const;

    const ServerConfig &config_;
    Renewable<AccountTable> *accounts_;
    PasswordGate gate_;
};

}  // namespace osprel
