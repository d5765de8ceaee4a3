#include "access/Authenticator.h"

#include "base/PasswordHash.h"
#include "base/Report.h"
#include "base/Rights.h"

namespace osprel {

Authenticator::Attempt Authenticator::attempt(const std::string &user, Clock::time_point now) {
    Attempt attempt;
    attempt.user = user;
    if (accounts_ != nullptr) {
        attempt.accounts = accounts_->current(now);
        attempt.open = isAnonymousName(user) && attempt.accounts->anonymous() != nullptr;
    } else {
        attempt.open = !config_.credentialsRequired;
    }
    return attempt;
}

Authenticator::Verdict Authenticator::verify(const Attempt &attempt, const std::string &password,
                                             Clock::time_point deadline, Grant *grant) {
    if (attempt.accounts != nullptr) return verifyAccount(attempt, password, deadline, grant);
    if (!attempt.open) return verifyConfiguredLogin(attempt, password, deadline, grant);
    grant->name = "anonymous";
    grant->anonymous = true;
    grant->rights = config_.writeAccess == WriteAccess::kEveryone ? kAllRights : kRead;
    return Verdict::kAccepted;
}

Authenticator::Verdict Authenticator::verifyAccount(const Attempt &attempt, const std::string &password,
                                                    Clock::time_point deadline, Grant *grant) {
    const AccountTable &accounts = *attempt.accounts;
    const Account *account = attempt.open ? accounts.anonymous() : accounts.find(attempt.user);
    if (!attempt.open) {
        bool matches = false;
        std::string whose = account != nullptr ? "account " + account->name : std::string();
        Verdict verdict = checkHash(password, account != nullptr ? account->hash : accounts.decoyHash(), whose,
                                    deadline, &matches);
        if (verdict != Verdict::kAccepted) return verdict;
        if (account == nullptr || !matches) return Verdict::kRefused;
    }
    *grant = {account->name, account->home, limited(account->rights), attempt.open};
    return Verdict::kAccepted;
}

Authenticator::Verdict Authenticator::verifyConfiguredLogin(const Attempt &attempt, const std::string &password,
                                                            Clock::time_point deadline, Grant *grant) {
    // Both halves are always checked: a wrong name costs what a right one does.
    bool userMatches = sameSecret(attempt.user, config_.user);
    bool passwordMatches = false;
    if (config_.passwordHash.empty()) {
        passwordMatches = sameSecret(password, config_.password);
    } else {
        Verdict verdict = checkHash(password, config_.passwordHash, "OSPREL_FTP_PASSWORD_HASH", deadline,
                                    &passwordMatches);
        if (verdict != Verdict::kAccepted) return verdict;
    }
    if (!userMatches || !passwordMatches) return Verdict::kRefused;
    *grant = {config_.user, "/", limited(kAllRights)};
    return Verdict::kAccepted;
}

namespace {

class GateTurn {
public:
    explicit GateTurn(PasswordGate &gate) : gate_(gate) {}
    ~GateTurn() { gate_.leave(); }
    GateTurn(const GateTurn &) = delete;
    GateTurn &operator=(const GateTurn &) = delete;

private:
    PasswordGate &gate_;
};

}  // namespace

// kAccepted means checked, *matches says with what result.  whose names the
// hash in a message (empty for the decoy, whose own account says it).
Authenticator::Verdict Authenticator::checkHash(const std::string &password, const std::string &hash,
                                                const std::string &whose, Clock::time_point deadline,
                                                bool *matches) {
    if (!gate_.enter(deadline)) return Verdict::kTimedOut;
    PasswordCheck check;
    {
        GateTurn turn(gate_);
        check = checkPassword(password, hash);
    }
    // The shape was checked at load, but libcrypt knows more (yescrypt's
    // parameters, say).
    if (check == PasswordCheck::kUnusable && !whose.empty())
        reportLine("osprel: libcrypt cannot use the password hash of %s", whose.c_str());
    *matches = check == PasswordCheck::kMatch;
    return Verdict::kAccepted;
}

unsigned Authenticator::limited(unsigned rights) const {
    return config_.writeAccess == WriteAccess::kNobody ? rights & kRead : rights;
}

}  // namespace osprel
