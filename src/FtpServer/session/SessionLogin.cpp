// Login: USER and PASS, checked by the server's Authenticator; a login that
// succeeds confines the session to its home.
#include <fcntl.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "base/Report.h"
#include "files/PathResolver.h"
#include "session/Session.h"

namespace osprel {

namespace {

constexpr auto kFailedLoginDelay = std::chrono::seconds(1);
constexpr int kMaxFailedLogins = 3;

}  // namespace

void Session::cmdUser(const std::string &argument) {
    if (loggedIn_) {
        control_.reply(530, "Already logged in.");
        return;
    }
    user_ = argument;
    haveUser_ = true;
    control_.reply(331, "Please specify the password.");
}

void Session::replyLoginTimeOut() {
    control_.replyf(421, "Login time-out: no login within %d s.", config_.loginTimeoutSeconds);
}

void Session::cmdPass(const std::string &argument) {
    if (loggedIn_) {
        control_.reply(230, "Already logged in.");
        return;
    }
    if (!haveUser_) {
        control_.reply(503, "Login with USER first.");
        return;
    }
    haveUser_ = false;
    Grant grant;
    Authenticator::Verdict verdict = checkLogin(context_.authenticator.attempt(user_, Clock::now()), argument, &grant);
    if (closing_) return;  // the address is locked out
    if (verdict == Authenticator::Verdict::kTimedOut) {
        // A check the server's stop cut short failed nobody: the 421 follows.
        if (stopRequested()) return;
        loginFailed();
        replyLoginTimeOut();
        closing_ = true;
    } else if (verdict == Authenticator::Verdict::kRefused) {
        loginFailed();
        control_.reply(530, "Login incorrect.");
        if (++failedLogins_ >= kMaxFailedLogins) closing_ = true;
    } else {
        enter(grant);
    }
}

// Told before the reply, so a client that has its answer finds the event.
void Session::loginFailed() {
    if (context_.counters != nullptr) count(context_.counters->loginsFailed);
    tell(EventType::kLoginFailed, false);
}

// Checks the password, throttled per address unless the login is open.  A
// check that found no turn in time counts as a failure: it may be guessing.
Authenticator::Verdict Session::checkLogin(const Authenticator::Attempt &attempt, const std::string &password,
                                           Grant *grant) {
    using Verdict = Authenticator::Verdict;
    bool throttled = !attempt.open;
    if (throttled && !context_.logins.begin(addressKey_, Clock::now())) {
        loginFailed();
        control_.reply(421, "Too many failed logins from your address, try later.");
        closing_ = true;
        return Verdict::kRefused;
    }
    Verdict verdict = Verdict::kRefused;
    try {
        verdict = context_.authenticator.verify(attempt, password, loginDeadline_, grant);
    } catch (...) {
        if (throttled) context_.logins.finish(addressKey_, false, Clock::now());
        throw;
    }
    // Slows down guessing; only this session waits, and not past a stop.
    if (verdict == Verdict::kRefused) {
        if (context_.stop != nullptr)
            context_.stop->sleep(kFailedLoginDelay);
        else
            std::this_thread::sleep_for(kFailedLoginDelay);
    }
    if (throttled) context_.logins.finish(addressKey_, verdict == Verdict::kAccepted, Clock::now());
    return verdict;
}

// The account's home becomes the session's root, as closed in as the served
// root is.
void Session::enter(const Grant &grant) {
    int home = openBelowRoot(context_.rootFd, grant.home, O_PATH | O_DIRECTORY);
    if (home < 0) {
        reportLine("osprel: the home %s of %s cannot be opened: %s", grant.home.c_str(), grant.name.c_str(),
                   strerror(-home));
        loginFailed();
        control_.reply(530, "Cannot open your home directory.");
        return;
    }
    root_.reset(home);
    jail_.confine(root_.get());
    account_ = grant.name;
    rights_ = grant.rights;
    anonymous_ = grant.anonymous;
    loggedIn_ = true;
    end_.user = user_;
    control_.setSendTimeout(config_.idleTimeoutSeconds);
    if (context_.counters != nullptr) count(context_.counters->loginsOk);
    tell(EventType::kLogin, true);
    control_.reply(230, "Login successful.");
}

}  // namespace osprel
