// FTP over TLS: AUTH TLS on the control connection, PBSZ and PROT, and the
// choice of a protected data connection among those that reach the port.
#include <openssl/ssl.h>
#include <strings.h>

#include <vector>

#include "Session.h"

namespace osprel {

namespace {

// After a refused data connection the client's own may still be on its way
// (a thief may have come first); past this without one, the transfer fails.
constexpr auto kRefusalGrace = std::chrono::seconds(2);

}  // namespace

void Session::cmdAuth(const std::string &argument) {
    if (!tlsOn()) {
        control_.reply(502, "AUTH not supported.");
    } else if (control_.tls() != nullptr) {
        control_.reply(503, "Already using TLS.");
    } else if (loggedIn_) {
        control_.reply(503, "AUTH TLS must come before login.");
    } else if (strcasecmp(argument.c_str(), "TLS") != 0 && strcasecmp(argument.c_str(), "TLS-C") != 0) {
        control_.reply(504, "Only AUTH TLS is supported.");
    } else if (binding_ == nullptr && (binding_ = TlsSessionBinding::create()) == nullptr) {
        control_.reply(431, "Cannot start TLS now.");
    } else if (control_.reply(234, "Proceed with negotiation.")) {
        // Lines sent in clear behind AUTH are never run as if sent over TLS,
        // and a USER before it does not count.
        deferred_.clear();
        haveUser_ = false;
        control_.startTls(TlsStream::open(*context_.tls, control_.fd(), *binding_, TlsStream::Role::kControl));
        // The handshake gets no more time than the login deadline left.
        if (control_.tls() == nullptr || control_.tls()->handshake(sessionDeadline()) != TlsResult::kOk) {
            control_.markBroken();
            closing_ = true;
        }
    }
}

void Session::cmdPbsz(const std::string &argument) {
    if (control_.tls() == nullptr) {
        control_.reply(503, "PBSZ needs AUTH TLS first.");
    } else if (argument.find_first_not_of("0123456789") != std::string::npos) {
        control_.reply(501, "PBSZ needs a number.");
    } else {
        pbszDone_ = true;
        control_.reply(200, "PBSZ=0");
    }
}

void Session::cmdProt(const std::string &argument) {
    if (!pbszDone_) {
        control_.reply(503, "PROT needs PBSZ first.");
    } else if (strcasecmp(argument.c_str(), "P") == 0) {
        dataProtected_ = true;
        control_.reply(200, "PROT now Private.");
    } else if (strcasecmp(argument.c_str(), "C") == 0 && tlsRequired()) {
        control_.reply(534, "Data connections must be protected.");
    } else if (strcasecmp(argument.c_str(), "C") == 0) {
        dataProtected_ = false;
        control_.reply(200, "PROT now Clear.");
    } else if (strcasecmp(argument.c_str(), "S") == 0 || strcasecmp(argument.c_str(), "E") == 0) {
        control_.reply(536, "Only PROT P and PROT C are supported.");
    } else {
        control_.reply(504, "PROT needs C or P.");
    }
}

std::string Session::tlsStatus() const {
    if (control_.tls() == nullptr) return " Control connection in clear";
    return std::string(" Control connection over ") + SSL_get_version(control_.tls()->handle()) +
           ", data connections " + (protectsData() ? "protected" : "in clear");
}

// Every connection from the client's host gets its TLS handshake, side by
// side, so a thief on that host who connects first, then stalls or fails,
// holds up nobody.  The first that resumes this session's TLS session (any,
// with resumption not required) is the data connection; the others are
// reset, having neither received nor supplied a byte.
bool Session::openProtectedConnection(DataLink *link, int activeFd, Outcome *failure) {
    std::vector<DataLink> candidates;
    auto add = [&](int fd) {
        if (fd < 0) return;
        DataLink candidate;
        candidate.fd.reset(fd);
        candidate.tls = TlsStream::open(*context_.tls, fd, *binding_, TlsStream::Role::kData);
        if (candidate.tls != nullptr) candidates.push_back(std::move(candidate));
    };
    auto drop = [&](size_t index) {
        candidates[index].tls->abort();
        candidates.erase(candidates.begin() + static_cast<ptrdiff_t>(index));
    };
    candidates.reserve(DataChannel::kMaxCandidates + 1);
    if (activeFd >= 0) add(activeFd);
    add(data_.takeConnected());
    Clock::time_point deadline = data_.listenerFd() >= 0
                                     ? data_.passiveDeadline()
                                     : Clock::now() + std::chrono::seconds(config_.passiveTimeoutSeconds);
    Clock::time_point lastRefusal{};
    bool refused = false;
    Wait wait = Wait::kReady;
    while (wait == Wait::kReady) {
        data_.acceptCandidates(peer_);
        for (int fd = data_.takeCandidate(); fd >= 0; fd = data_.takeCandidate()) {
            if (candidates.size() == DataChannel::kMaxCandidates) drop(0);
            add(fd);
        }
        for (size_t i = 0; i < candidates.size();) {
            TlsResult result = candidates[i].tls->tryHandshake();
            if (result == TlsResult::kWouldBlock) {
                ++i;
                continue;
            }
            TlsStream &tls = *candidates[i].tls;
            if (result == TlsResult::kOk &&
                (!context_.tls->requireResumption() || binding_->resumedHere(tls.handle()))) {
                *link = std::move(candidates[i]);
                candidates.erase(candidates.begin() + static_cast<ptrdiff_t>(i));
                while (!candidates.empty()) drop(0);
                data_.reset();
                return true;
            }
            refused = refused || result == TlsResult::kOk;
            lastRefusal = Clock::now();
            drop(i);
        }
        if (candidates.empty() && data_.listenerFd() < 0) break;
        pollfd fds[kMaxWatched];
        size_t count = 0;
        if (data_.listenerFd() >= 0) fds[count++] = {data_.listenerFd(), POLLIN, 0};
        for (DataLink &candidate : candidates) fds[count++] = {candidate.fd.get(), candidate.tls->wantedEvents(), 0};
        bool graceOnly = candidates.empty() && lastRefusal != Clock::time_point{};
        wait = waitDuringTransfer(fds, count, graceOnly ? std::min(deadline, lastRefusal + kRefusalGrace) : deadline);
    }
    while (!candidates.empty()) drop(0);
    *failure = connectionFailure(wait, refused);
    return false;
}

}  // namespace osprel
