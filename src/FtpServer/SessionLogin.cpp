// Login: USER and PASS against the configured login, or anonymous.
#include <algorithm>
#include <chrono>
#include <thread>

#include "Session.h"

namespace osprel {

namespace {

constexpr auto kFailedLoginDelay = std::chrono::seconds(1);
constexpr int kMaxFailedLogins = 3;

// Compares without stopping at the first difference, so timing tells nothing.
bool sameSecret(const std::string &given, const std::string &expected) {
    size_t length = std::max(given.size(), expected.size());
    unsigned difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < length; ++i) {
        unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        unsigned char b = i < expected.size() ? static_cast<unsigned char>(expected[i]) : 0;
        difference |= a ^ b;
    }
    return difference == 0;
}

bool credentialsMatch(const ServerConfig &config, const std::string &user, const std::string &password) {
    if (!config.credentialsRequired) return true;
    bool userMatches = sameSecret(user, config.user);
    bool passwordMatches = sameSecret(password, config.password);
    return userMatches && passwordMatches;
}

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
    // Anonymous logins never fail, so only configured ones are throttled.
    bool throttled = config_.credentialsRequired;
    if (throttled && !context_.logins.begin(addressKey_, Clock::now())) {
        control_.reply(421, "Too many failed logins from your address, try later.");
        closing_ = true;
        return;
    }
    bool matches = credentialsMatch(config_, user_, argument);
    // Slows down guessing; only this session waits.
    if (!matches) std::this_thread::sleep_for(kFailedLoginDelay);
    if (throttled) context_.logins.finish(addressKey_, matches, Clock::now());
    if (matches) {
        loggedIn_ = true;
        configuredLogin_ = config_.credentialsRequired;
        control_.setSendTimeout(config_.idleTimeoutSeconds);
        control_.reply(230, "Login successful.");
        return;
    }
    control_.reply(530, "Login incorrect.");
    if (++failedLogins_ >= kMaxFailedLogins) closing_ = true;
}

}  // namespace osprel
