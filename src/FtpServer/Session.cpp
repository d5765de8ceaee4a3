// The session loop, login, and the commands that touch no file.
#include "Session.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <exception>
#include <thread>

#include "CommandParser.h"
#include "PathResolver.h"
#include "Report.h"

namespace osprel {

namespace {

constexpr auto kFailedLoginDelay = std::chrono::seconds(1);
constexpr int kMaxFailedLogins = 3;

std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// Called inside a handler, so `why` is still alive; allocates nothing.
void endFaultySession(ControlChannel &control, const char *why) {
    control.sendNow(Session::kFaultReply, sizeof Session::kFaultReply - 1);
    reportLine("osprel: a session ended on an internal error: %s", why);
}

}  // namespace

void serveClient(ServerContext &context, int controlFd) noexcept {
    try {
        Session session(context, controlFd);
        session.run();
    } catch (const std::exception &failure) {
        ControlChannel control(controlFd);
        endFaultySession(control, failure.what());
    } catch (...) {
        ControlChannel control(controlFd);
        endFaultySession(control, "unknown exception");
    }
    close(controlFd);
}

const Session::CommandRule Session::kCommands[] = {
    {"USER", &Session::cmdUser, kBeforeLogin | kNeedsArgument},
    {"PASS", &Session::cmdPass, kBeforeLogin},
    {"QUIT", &Session::cmdQuit, kBeforeLogin},
    {"NOOP", &Session::cmdNoop, kBeforeLogin},
    {"SYST", &Session::cmdSyst, kBeforeLogin},
    {"FEAT", &Session::cmdFeat, kBeforeLogin},
    {"AUTH", &Session::cmdAuth, kBeforeLogin},
    {"PBSZ", &Session::cmdPbsz, kBeforeLogin | kNeedsArgument | kTlsOnly},
    {"PROT", &Session::cmdProt, kBeforeLogin | kNeedsArgument | kTlsOnly},
    {"OPTS", &Session::cmdOpts, kNeedsArgument},
    {"CLNT", &Session::cmdClnt, 0},
    {"TYPE", &Session::cmdType, kNeedsArgument},
    {"MODE", &Session::cmdMode, kNeedsArgument},
    {"STRU", &Session::cmdStru, kNeedsArgument},
    {"ALLO", &Session::cmdAllo, 0},
    {"REST", &Session::cmdRest, kNeedsArgument},
    {"ABOR", &Session::cmdAbor, 0},
    {"STAT", &Session::cmdStat, 0},
    {"HELP", &Session::cmdHelp, 0},
    {"PASV", &Session::cmdPasv, 0},
    {"EPSV", &Session::cmdEpsv, 0},
    {"PORT", &Session::cmdPort, kNeedsArgument},
    {"EPRT", &Session::cmdEprt, kNeedsArgument},
    {"PWD", &Session::cmdPwd, 0},
    {"XPWD", &Session::cmdPwd, 0},
    {"CWD", &Session::cmdCwd, kNeedsArgument},
    {"XCWD", &Session::cmdCwd, kNeedsArgument},
    {"CDUP", &Session::cmdCdup, 0},
    {"XCUP", &Session::cmdCdup, 0},
    {"SIZE", &Session::cmdSize, kNeedsArgument, kRead},
    {"MDTM", &Session::cmdMdtm, kNeedsArgument, kRead},
    {"MFMT", &Session::cmdMfmt, kNeedsArgument, kDelete},
    {"MLST", &Session::cmdMlst, 0, kRead},
    {"LIST", &Session::cmdList, kMovesData, kRead},
    {"NLST", &Session::cmdNlst, kMovesData, kRead},
    {"MLSD", &Session::cmdMlsd, kMovesData, kRead},
    {"RETR", &Session::cmdRetr, kNeedsArgument | kMovesData, kRead},
    // A new name needs w, replacing a file d: store() tells them apart.
    {"STOR", &Session::cmdStor, kNeedsArgument | kMovesData, kWrite | kDelete},
    {"APPE", &Session::cmdAppe, kNeedsArgument | kMovesData, kDelete},
    {"DELE", &Session::cmdDele, kNeedsArgument, kDelete},
    {"MKD", &Session::cmdMkd, kNeedsArgument, kWrite},
    {"XMKD", &Session::cmdMkd, kNeedsArgument, kWrite},
    {"RMD", &Session::cmdRmd, kNeedsArgument, kDelete},
    {"XRMD", &Session::cmdRmd, kNeedsArgument, kDelete},
    {"RNFR", &Session::cmdRnfr, kNeedsArgument, kDelete},
    {"RNTO", &Session::cmdRnto, kNeedsArgument, kDelete},
};

Session::Session(ServerContext &context, int controlFd)
    : context_(context), config_(context.config), control_(controlFd), lastActivity_(Clock::now()) {
    peer_ = peerAddressOf(controlFd);
    local_ = localAddressOf(controlFd);
    addressKey_ = addressKey(peer_);
    loginDeadline_ = lastActivity_ + std::chrono::seconds(config_.loginTimeoutSeconds);
    int on = 1;
    // Urgent data (the Telnet sync before ABOR) stays in the stream.
    setsockopt(controlFd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    // Replies go out at once, not held back waiting for an acknowledgement.
    setsockopt(controlFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A client that stops reading replies cannot hold the session forever.
    control_.setSendTimeout(std::min(config_.idleTimeoutSeconds, config_.loginTimeoutSeconds));
}

Session::~Session() = default;

void Session::run() {
    control_.reply(220, "osprel FTP server ready.");
    // Caught here, while the control connection (perhaps over TLS) can still
    // carry the 421.
    try {
        while (!closing_ && !control_.broken()) {
            std::string line;
            Next next = nextLine(&line);
            if (next == Next::kEnd) break;
            if (next == Next::kTooLong)
                control_.reply(500, "Command line too long.");
            else
                execute(line);
        }
    } catch (const std::exception &failure) {
        endFaultySession(control_, failure.what());
        return;
    } catch (...) {
        endFaultySession(control_, "unknown exception");
        return;
    }
    control_.finish();
}

Clock::time_point Session::idleDeadline() const {
    return lastActivity_ + std::chrono::seconds(config_.idleTimeoutSeconds);
}

Clock::time_point Session::sessionDeadline() const {
    return loggedIn_ ? idleDeadline() : std::min(idleDeadline(), loginDeadline_);
}

// Waits for the next command line, meanwhile accepting the client's passive
// data connection and closing a passive listener nobody connected to in time.
Session::Next Session::nextLine(std::string *line) {
    if (!deferred_.empty()) {
        DeferredLine next = std::move(deferred_.front());
        deferred_.pop_front();
        *line = std::move(next.text);
        return next.tooLong ? Next::kTooLong : Next::kLine;
    }
    for (;;) {
        ControlChannel::Read read = control_.readLine(line);
        if (read == ControlChannel::Read::kLine || read == ControlChannel::Read::kTooLong) {
            lastActivity_ = Clock::now();
            return read == ControlChannel::Read::kLine ? Next::kLine : Next::kTooLong;
        }
        if (read == ControlChannel::Read::kClosed) return Next::kEnd;
        // Decrypted bytes left over do not show in poll.
        if (control_.hasBuffered()) continue;

        Clock::time_point now = Clock::now();
        if (!loggedIn_ && now >= loginDeadline_) {
            replyLoginTimeOut();
            return Next::kEnd;
        }
        if (now >= idleDeadline()) {
            control_.reply(421, "Timeout.");
            return Next::kEnd;
        }
        int listener = data_.listenerFd();
        if (listener >= 0 && now >= data_.passiveDeadline()) {
            data_.stopListening();
            listener = -1;
        }
        Clock::time_point wake = sessionDeadline();
        if (listener >= 0) wake = std::min(wake, data_.passiveDeadline());
        pollfd fds[2] = {{control_.fd(), control_.readEvents(), 0}, {listener, POLLIN, 0}};
        if (poll(fds, 2, millisecondsUntil(wake)) < 0 && errno != EINTR) return Next::kEnd;
        if ((fds[1].revents & POLLIN) == 0) continue;
        if (protectsData())
            data_.acceptCandidates(peer_);
        else
            data_.acceptFrom(peer_);
    }
}

const Session::CommandRule *Session::ruleFor(const std::string &verb) const {
    for (const CommandRule &rule : kCommands)
        if (verb == rule.verb) return (rule.flags & kTlsOnly) != 0 && !tlsOn() ? nullptr : &rule;
    return nullptr;
}

const char *Session::refusalOf(const CommandRule &rule, const Command &command) const {
    bool inClear = control_.tls() == nullptr;
    if (inClear && tlsRequired() && (rule.handler == &Session::cmdUser || rule.handler == &Session::cmdPass))
        return "530 Log in over TLS: send AUTH TLS first.";
    if (!loggedIn_ && (rule.flags & kBeforeLogin) == 0) return "530 Please login with USER and PASS.";
    if ((rule.flags & kNeedsArgument) != 0 && command.argument.empty())
        return "501 Syntax error in parameters or arguments.";
    if (rule.rights != 0 && (rule.rights & rights_) == 0) return "550 Permission denied.";
    if ((rule.flags & kMovesData) != 0 && tlsRequired() && !protectsData())
        return "521 Data connections must be protected: send PROT P.";
    return nullptr;
}

void Session::execute(const std::string &line) {
    Command command;
    const CommandRule *rule = splitCommand(line, &command) ? ruleFor(command.verb) : nullptr;
    // REST's offset belongs to the command right after it, whatever that is.
    transferOffset_ = 0;
    if (rule == nullptr || rule->handler != &Session::cmdRest) std::swap(transferOffset_, restartOffset_);
    if (rule == nullptr) {
        control_.reply(500, "Unknown command.");
        return;
    }
    // A rename is the RNFR immediately followed by its RNTO.
    if (command.verb != "RNTO") renamePending_ = false;
    if (const char *refusal = refusalOf(*rule, command))
        control_.sendText(std::string(refusal) + "\r\n");
    else
        (this->*rule->handler)(command.argument);
}

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
    if (closing_) return;
    if (verdict == Authenticator::Verdict::kTimedOut) {
        replyLoginTimeOut();
        closing_ = true;
    } else if (verdict == Authenticator::Verdict::kRefused) {
        control_.reply(530, "Login incorrect.");
        if (++failedLogins_ >= kMaxFailedLogins) closing_ = true;
    } else {
        enter(grant);
    }
}

// Checks the password, throttled per address unless the login is open.
Authenticator::Verdict Session::checkLogin(const Authenticator::Attempt &attempt, const std::string &password,
                                           Grant *grant) {
    using Verdict = Authenticator::Verdict;
    bool throttled = !attempt.open;
    if (throttled && !context_.logins.begin(addressKey_, Clock::now())) {
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
    // Slows down guessing; only this session waits.
    if (verdict == Verdict::kRefused) std::this_thread::sleep_for(kFailedLoginDelay);
    if (throttled) context_.logins.finish(addressKey_, verdict == Verdict::kAccepted, Clock::now());
    return verdict;
}

// The account's home becomes the session's root, as jailed as the served one.
void Session::enter(const Grant &grant) {
    int home = openBelowRoot(context_.rootFd, grant.home, O_PATH | O_DIRECTORY);
    if (home < 0) {
        reportLine("osprel: the home %s of %s cannot be opened: %s", grant.home.c_str(), grant.name.c_str(),
                   strerror(-home));
        control_.reply(530, "Cannot open your home directory.");
        return;
    }
    root_.reset(home);
    account_ = grant.name;
    rights_ = grant.rights;
    loggedIn_ = true;
    control_.setSendTimeout(config_.idleTimeoutSeconds);
    control_.reply(230, "Login successful.");
}

void Session::cmdQuit(const std::string &) {
    control_.reply(221, "Goodbye.");
    closing_ = true;
}

void Session::cmdNoop(const std::string &) { control_.reply(200, "NOOP ok."); }

void Session::cmdSyst(const std::string &) { control_.reply(215, "UNIX Type: L8"); }

void Session::cmdFeat(const std::string &) {
    // In alphabetical order, the TLS ones only with TLS on.
    std::vector<std::string> features;
    if (tlsOn()) features.push_back(" AUTH TLS");
    features.insert(features.end(), {" EPRT", " EPSV", " MDTM", " MFMT", " MLST " + featFacts(facts_), " PASV"});
    if (tlsOn()) features.insert(features.end(), {" PBSZ", " PROT"});
    features.insert(features.end(), {" REST STREAM", " SIZE", " TVFS", " UTF8"});
    control_.replyLines(211, "Features:", features, "End");
}

void Session::cmdOpts(const std::string &argument) {
    size_t space = argument.find(' ');
    std::string option = upperCase(argument.substr(0, space));
    std::string value = space == std::string::npos ? std::string() : argument.substr(space + 1);
    if (option == "UTF8" && upperCase(value) == "ON") {
        control_.reply(200, "Always in UTF8 mode.");
    } else if (option == "UTF8") {
        control_.reply(504, "UTF8 cannot be turned off.");
    } else if (option == "MLST") {
        control_.reply(200, "MLST OPTS " + selectFacts(value, &facts_));
    } else {
        control_.reply(501, "Option not understood.");
    }
}

void Session::cmdClnt(const std::string &) { control_.reply(200, "Noted."); }

void Session::cmdType(const std::string &argument) {
    std::string type = upperCase(argument);
    if (type == "I" || type == "L 8" || type == "L8") {
        binary_ = true;
        control_.reply(200, "Switching to Binary mode.");
    } else if (type == "A" || type == "A N") {
        // Files go out as they are, as on every Unix server: no line-end rewriting.
        binary_ = false;
        control_.reply(200, "Switching to ASCII mode.");
    } else {
        control_.reply(504, "Unsupported type.");
    }
}

void Session::cmdMode(const std::string &argument) {
    if (upperCase(argument) == "S")
        control_.reply(200, "Mode set to S.");
    else
        control_.reply(504, "Only stream mode is supported.");
}

void Session::cmdStru(const std::string &argument) {
    if (upperCase(argument) == "F")
        control_.reply(200, "Structure set to F.");
    else
        control_.reply(504, "Only file structure is supported.");
}

void Session::cmdAllo(const std::string &) { control_.reply(202, "ALLO command ignored."); }

void Session::cmdRest(const std::string &argument) {
    long long offset = 0;
    for (char c : argument) {
        if (c < '0' || c > '9' || offset > (LLONG_MAX - 9) / 10) {
            control_.reply(501, "REST needs a byte offset.");
            return;
        }
        offset = offset * 10 + (c - '0');
    }
    restartOffset_ = static_cast<off_t>(offset);
    control_.replyf(350, "Restart position accepted (%lld).", offset);
}

void Session::cmdAbor(const std::string &) {
    data_.reset();
    control_.reply(225, "No transfer to abort.");
}

void Session::cmdStat(const std::string &argument) {
    if (!argument.empty() && (rights_ & kRead) == 0) {
        control_.reply(550, "Permission denied.");
        return;
    }
    if (!argument.empty()) {
        statListing(argument);
        return;
    }
    std::vector<std::string> lines = {
        " Connected to " + hostText(peer_),
        " Logged in as " + account_,
        std::string(" TYPE: ") + (binary_ ? "BINARY" : "ASCII"),
        " Session timeout in seconds is " + std::to_string(config_.idleTimeoutSeconds),
    };
    if (!mayWrite()) lines.push_back(" Read-only");
    if (tlsOn()) lines.push_back(tlsStatus());
    control_.replyLines(211, "FTP server status:", lines, "End of status");
}

void Session::cmdHelp(const std::string &) {
    std::vector<std::string> lines;
    std::string line;
    int onLine = 0;
    for (const CommandRule &rule : kCommands) {
        if (ruleFor(rule.verb) != &rule) continue;
        line += ' ';
        line += rule.verb;
        if (++onLine == 8) {
            lines.push_back(line);
            line.clear();
            onLine = 0;
        }
    }
    if (!line.empty()) lines.push_back(line);
    control_.replyLines(214, "The following commands are recognized.", lines, "Help OK.");
}

// Listens on a free port of the passive range; answers 425 and returns -1
// when none can be had.
int Session::openPassivePort() {
    int port = 0;
    auto deadline = Clock::now() + std::chrono::seconds(config_.passiveTimeoutSeconds);
    if (!data_.listenPassive(context_.passivePorts, local_, deadline, &port)) {
        control_.reply(425, errno == EADDRINUSE ? "No passive port free, try later." : "Cannot open passive port.");
        return -1;
    }
    return port;
}

void Session::cmdPasv(const std::string &) {
    if (epsvAll_) {
        control_.reply(503, "Only EPSV after EPSV ALL.");
        return;
    }
    if (local_.family() != AF_INET) {
        control_.reply(425, "PASV needs IPv4; use EPSV.");
        return;
    }
    int port = openPassivePort();
    if (port < 0) return;
    std::string host = hostText(local_);
    std::replace(host.begin(), host.end(), '.', ',');
    control_.replyf(227, "Entering Passive Mode (%s,%d,%d).", host.c_str(), port >> 8, port & 0xff);
}

void Session::cmdEpsv(const std::string &argument) {
    if (upperCase(argument) == "ALL") {
        epsvAll_ = true;
        control_.reply(200, "EPSV ALL ok.");
        return;
    }
    const char *supported = local_.family() == AF_INET ? "Network protocol not supported, use (1)"
                                                       : "Network protocol not supported, use (2)";
    if (!argument.empty() && argument != (local_.family() == AF_INET ? "1" : "2")) {
        control_.reply(522, supported);
        return;
    }
    int port = openPassivePort();
    if (port < 0) return;
    control_.replyf(229, "Entering Extended Passive Mode (|||%d|)", port);
}

void Session::acceptActiveTarget(const SocketAddress &target) {
    // No bouncing: data goes only back to the client, and never to a
    // privileged port where a service might take it for commands.
    if (!sameHost(target, peer_)) {
        control_.reply(504, "Data connections go only to the client's own address.");
    } else if (target.port() < 1024) {
        control_.reply(504, "Data connections to ports below 1024 are refused.");
    } else {
        data_.setActiveTarget(target, local_);
        control_.reply(200, "PORT command successful.");
    }
}

void Session::cmdPort(const std::string &argument) {
    SocketAddress target;
    if (epsvAll_) {
        control_.reply(503, "Only EPSV after EPSV ALL.");
    } else if (!parsePortArgument(argument, &target)) {
        control_.reply(501, "Syntax error in PORT argument.");
    } else {
        acceptActiveTarget(target);
    }
}

void Session::cmdEprt(const std::string &argument) {
    SocketAddress target;
    if (epsvAll_) {
        control_.reply(503, "Only EPSV after EPSV ALL.");
        return;
    }
    switch (parseEprtArgument(argument, &target)) {
    case EprtParse::kOk:
        acceptActiveTarget(target);
        break;
    case EprtParse::kBadSyntax:
        control_.reply(501, "Syntax error in EPRT argument.");
        break;
    case EprtParse::kUnknownProtocol:
        control_.reply(522, "Network protocol not supported, use (1,2)");
        break;
    }
}

}  // namespace osprel
