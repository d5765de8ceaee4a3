// The session loop, the command table, and the commands that touch no file.
#include "session/Session.h"

#include <errno.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <exception>

#include "base/Report.h"
#include "control/CommandParser.h"
#include "net/LingeringClose.h"

namespace osprel {

namespace {

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

namespace {

void tellLogout(ServerContext &context, int controlFd, unsigned long long number, SessionEnd &end) noexcept {
    if (context.events == nullptr || !context.events->wanted()) return;
    try {
        ServerEvent event;
        event.type = EventType::kLogout;
        event.complete = end.quit;
        event.session = number;
        event.user = std::move(end.user);
        event.address = end.address.empty() ? hostText(peerAddressOf(controlFd)) : std::move(end.address);
        context.events->post(std::move(event));
    } catch (...) {
        context.events->lost();
    }
}

}  // namespace

void serveClient(ServerContext &context, int controlFd, unsigned long long number) noexcept {
    SessionEnd end;
    try {
        Session session(context, controlFd, number, &end);
        session.run();
    } catch (const std::exception &failure) {
        ControlChannel control(controlFd);
        endFaultySession(control, failure.what());
    } catch (...) {
        ControlChannel control(controlFd);
        endFaultySession(control, "unknown exception");
    }
    LingeringClose(controlFd).waitDrained();
    if (context.counters != nullptr) context.counters->sessionsNow.fetch_sub(1, std::memory_order_relaxed);
    tellLogout(context, controlFd, number, end);
}

void Session::tell(EventType type, bool complete, const std::string &path, unsigned long long bytes,
                   const std::string &target) noexcept {
    if (context_.events == nullptr || !context_.events->wanted()) return;
    try {
        ServerEvent event;
        event.type = type;
        event.complete = complete;
        event.session = number_;
        event.bytes = bytes;
        event.user = user_;
        event.address = end_.address;
        event.path = path;
        event.target = target;
        context_.events->post(std::move(event));
    } catch (...) {
        context_.events->lost();
    }
}

// Commands that only answer are written out here; the others call their
// member.
const Session::CommandRule Session::kCommands[] = {
    {"USER", call<&Session::cmdUser>, kBeforeLogin | kNeedsArgument | kCarriesLogin},
    {"PASS", call<&Session::cmdPass>, kBeforeLogin | kCarriesLogin},
    {"QUIT",
     [](Session &session, const std::string &) {
         session.control_.reply(221, "Goodbye.");
         session.closing_ = true;
         session.end_.quit = true;
     },
     kBeforeLogin},
    {"NOOP", [](Session &session, const std::string &) { session.control_.reply(200, "NOOP ok."); }, kBeforeLogin},
    {"SYST", [](Session &session, const std::string &) { session.control_.reply(215, "UNIX Type: L8"); },
     kBeforeLogin},
    {"FEAT", call<&Session::cmdFeat>, kBeforeLogin},
    {"AUTH", call<&Session::cmdAuth>, kBeforeLogin},
    {"PBSZ", call<&Session::cmdPbsz>, kBeforeLogin | kNeedsArgument | kTlsOnly},
    {"PROT", call<&Session::cmdProt>, kBeforeLogin | kNeedsArgument | kTlsOnly},
    {"OPTS", call<&Session::cmdOpts>, kNeedsArgument},
    {"CLNT", [](Session &session, const std::string &) { session.control_.reply(200, "Noted."); }, 0},
    {"TYPE", call<&Session::cmdType>, kNeedsArgument},
    {"MODE",
     [](Session &session, const std::string &argument) {
         if (strcasecmp(argument.c_str(), "S") == 0)
             session.control_.reply(200, "Mode set to S.");
         else
             session.control_.reply(504, "Only stream mode is supported.");
     },
     kNeedsArgument},
    {"STRU",
     [](Session &session, const std::string &argument) {
         if (strcasecmp(argument.c_str(), "F") == 0)
             session.control_.reply(200, "Structure set to F.");
         else
             session.control_.reply(504, "Only file structure is supported.");
     },
     kNeedsArgument},
    {"ALLO", call<&Session::cmdAllo>, 0},
    {"REST", call<&Session::cmdRest>, kNeedsArgument},
    {"ABOR",
     [](Session &session, const std::string &) {
         session.dataSetup_.channel().reset();
         session.control_.reply(225, "No transfer to abort.");
     },
     0},
    {"STAT", call<&Session::cmdStat>, 0},
    {"HELP", call<&Session::cmdHelp>, 0},
    {"PASV", [](Session &session, const std::string &) { session.dataSetup_.pasv(); }, 0},
    {"EPSV", [](Session &session, const std::string &argument) { session.dataSetup_.epsv(argument); }, 0},
    {"PORT", [](Session &session, const std::string &argument) { session.dataSetup_.port(argument); },
     kNeedsArgument},
    {"EPRT", [](Session &session, const std::string &argument) { session.dataSetup_.eprt(argument); },
     kNeedsArgument},
    {"PWD", call<&Session::cmdPwd>, 0},
    {"XPWD", call<&Session::cmdPwd>, 0},
    {"CWD", [](Session &session, const std::string &argument) { session.changeDirectory(argument, 250); },
     kNeedsArgument},
    {"XCWD", [](Session &session, const std::string &argument) { session.changeDirectory(argument, 250); },
     kNeedsArgument},
    {"CDUP", [](Session &session, const std::string &) { session.changeDirectory("..", 200); }, 0},
    {"XCUP", [](Session &session, const std::string &) { session.changeDirectory("..", 200); }, 0},
    {"SIZE", call<&Session::cmdSize>, kNeedsArgument, kRead},
    {"MDTM", call<&Session::cmdMdtm>, kNeedsArgument, kRead},
    {"MFMT", call<&Session::cmdMfmt>, kNeedsArgument, kDelete},
    {"MLST", call<&Session::cmdMlst>, 0, kRead},
    {"LIST", [](Session &session, const std::string &argument) { session.sendListing(argument, ListingSource::Kind::kLong); },
     kMovesData, kRead},
    {"NLST", [](Session &session, const std::string &argument) { session.sendListing(argument, ListingSource::Kind::kNames); },
     kMovesData, kRead},
    {"MLSD", [](Session &session, const std::string &argument) { session.sendListing(argument, ListingSource::Kind::kFacts); },
     kMovesData, kRead},
    {"RETR", call<&Session::cmdRetr>, kNeedsArgument | kMovesData, kRead},
    // A new name needs w, replacing a file d: store() tells them apart.
    {"STOR", [](Session &session, const std::string &argument) { session.store(argument, false); },
     kNeedsArgument | kMovesData, kWrite | kDelete},
    {"APPE", [](Session &session, const std::string &argument) { session.store(argument, true); },
     kNeedsArgument | kMovesData, kDelete},
    {"STOU", call<&Session::cmdStou>, kMovesData, kWrite},
    {"DELE", call<&Session::cmdDele>, kNeedsArgument, kDelete},
    {"MKD", call<&Session::cmdMkd>, kNeedsArgument, kWrite},
    {"XMKD", call<&Session::cmdMkd>, kNeedsArgument, kWrite},
    {"RMD", call<&Session::cmdRmd>, kNeedsArgument, kDelete},
    {"XRMD", call<&Session::cmdRmd>, kNeedsArgument, kDelete},
    {"RNFR", call<&Session::cmdRnfr>, kNeedsArgument, kDelete},
    {"RNTO", call<&Session::cmdRnto>, kNeedsArgument, kDelete},
};

Session::Session(ServerContext &context, int controlFd, unsigned long long number, SessionEnd *end)
    : context_(context),
      config_(context.config),
      number_(number),
      end_(*end),
      tls_(context.tls != nullptr ? context.tls->current(Clock::now()) : nullptr),
      control_(controlFd),
      watch_(control_),
      peer_(peerAddressOf(controlFd)),
      local_(localAddressOf(controlFd)),
      dataSetup_(control_, context.passivePorts, local_, peer_, context.config.passiveTimeoutSeconds,
                 context.config.passiveAddress),
      jail_(-1),  // nothing is reachable before login
      rate_(context.config.maxSessionRate, context.totalRate),
      lastActivity_(Clock::now()) {
    addressKey_ = addressKey(peer_);
    end_.address = hostText(peer_);
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
// Once the server stops, no command is taken any more, not even one that
// waited for a transfer to end.
Session::Next Session::nextLine(std::string *line) {
    if (stopRequested()) return endStopped();
    if (bool tooLong = false; watch_.takeWaiting(line, &tooLong)) return tooLong ? Next::kTooLong : Next::kLine;
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
        DataChannel &data = dataSetup_.channel();
        int listener = data.listenerFd();
        if (listener >= 0 && now >= data.passiveDeadline()) {
            data.stopListening();
            listener = -1;
        }
        Clock::time_point wake = sessionDeadline();
        if (listener >= 0) wake = std::min(wake, data.passiveDeadline());
        int stopFd = context_.stop != nullptr ? context_.stop->requestedFd() : -1;
        pollfd fds[3] = {{control_.fd(), control_.readEvents(), 0}, {listener, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(fds, 3, millisecondsUntil(wake)) < 0 && errno != EINTR) return Next::kEnd;
        if (fds[2].revents != 0) return endStopped();
        if ((fds[1].revents & POLLIN) == 0) continue;
        if (protectsData())
            data.acceptCandidates(peer_);
        else
            data.acceptFrom(peer_);
    }
}

Session::Next Session::endStopped() {
    control_.reply(421, "Server shutting down.");
    return Next::kEnd;
}

const Session::CommandRule *Session::ruleFor(const std::string &verb) const {
    for (const CommandRule &rule : kCommands)
        if (verb == rule.verb) return (rule.flags & kTlsOnly) != 0 && !tlsOn() ? nullptr : &rule;
    return nullptr;
}

const char *Session::refusalOf(const CommandRule &rule, const Command &command) const {
    bool inClear = control_.tls() == nullptr;
    if (inClear && tlsRequired() && (rule.flags & kCarriesLogin) != 0)
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
    if (rule == nullptr || strcmp(rule->verb, "REST") != 0) std::swap(transferOffset_, restartOffset_);
    if (rule == nullptr) {
        control_.reply(500, "Unknown command.");
        return;
    }
    // A rename is the RNFR immediately followed by its RNTO.
    if (command.verb != "RNTO") renamePending_ = false;
    if (const char *refusal = refusalOf(*rule, command))
        control_.sendText(std::string(refusal) + "\r\n");
    else
        rule->handler(*this, command.argument);
}

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

void Session::cmdStat(const std::string &argument) {
    if (!argument.empty()) {
        // A listing on the control connection: as LIST, it needs r.
        if ((rights_ & kRead) == 0)
            control_.reply(550, "Permission denied.");
        else
            statListing(argument);
        return;
    }
    std::vector<std::string> lines = {
        " Connected to " + hostText(peer_),
        " Logged in as " + account_,
        std::string(" TYPE: ") + (binary_ ? "BINARY" : "ASCII"),
        " Session timeout in seconds is " + std::to_string(config_.idleTimeoutSeconds),
    };
    if ((rights_ & (kWrite | kDelete)) == 0) lines.push_back(" Read-only");
    if (tlsOn()) lines.push_back(tlsStatus(control_, protectsData()));
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

}  // namespace osprel
