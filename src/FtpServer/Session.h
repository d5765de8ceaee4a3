// One client's session, run on a thread of its own from greeting to close.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <deque>
#include <memory>
#include <string>

#include "AddressLimits.h"
#include "Authenticator.h"
#include "ControlChannel.h"
#include "DataConnection.h"
#include "Listing.h"
#include "NetAddress.h"
#include "Rights.h"
#include "ServerConfig.h"
#include "TlsContext.h"
#include "TlsSessionBinding.h"
#include "TlsStream.h"

namespace osprel {

// What every session shares: the settings, the served root, the passive
// ports, the failed logins per address, the TLS context (null with TLS
// off) and the logins' checks.  Read-only after start, apart from the port
// range's cursor, the throttle and the authenticator, which guard themselves.
struct ServerContext {
    const ServerConfig &config;
    int rootFd;
    PassivePortRange &passivePorts;
    LoginThrottle &logins;
    const TlsContext *tls;
    Authenticator &authenticator;
};

// Runs a session on controlFd from greeting to end, then closes controlFd.
// Never throws: whatever goes wrong inside the session (an exception, an
// allocation failure) ends that session alone, with a 421 to its client.
void serveClient(ServerContext &context, int controlFd) noexcept;

class Session {
public:
    // Uses controlFd; the caller closes it.
    Session(ServerContext &context, int controlFd);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Greets the client and serves it until it leaves; may throw.
    void run();

    // The reply to a session ended by a fault.
    static constexpr char kFaultReply[] = "421 Internal error, closing the session.\r\n";

private:
    using Handler = void (Session::*)(const std::string &argument);
    enum RuleFlag : unsigned {
        kBeforeLogin = 1,     // allowed before login
        kNeedsArgument = 2,
        kMovesData = 8,       // uses a data connection
        kTlsOnly = 16,        // unknown with TLS off
    };
    struct CommandRule {
        const char *verb;
        Handler handler;
        unsigned flags;
        unsigned rights = 0;  // any one of these (Rights.h) allows it; 0: none needed
    };
    static const CommandRule kCommands[];
    // The rule's verb with TLS as set up, or null.
    const CommandRule *ruleFor(const std::string &verb) const;
    // The reason a rule may not run now, or null.
    const char *refusalOf(const CommandRule &rule, const Command &command) const;

    enum class Next { kLine, kTooLong, kEnd };
    Next nextLine(std::string *line);
    void execute(const std::string &line);
    Clock::time_point idleDeadline() const;
    // Before login: the idle deadline or the log-in deadline, the earlier.
    Clock::time_point sessionDeadline() const;
    bool mayWrite() const { return (rights_ & (kWrite | kDelete)) != 0; }
    void replyLoginTimeOut();

    // Session.cpp: login and the commands without files.
    void cmdUser(const std::string &argument);
    void cmdPass(const std::string &argument);
    void cmdQuit(const std::string &argument);
    void cmdNoop(const std::string &argument);
    void cmdSyst(const std::string &argument);
    void cmdFeat(const std::string &argument);
    void cmdOpts(const std::string &argument);
    void cmdClnt(const std::string &argument);
    void cmdType(const std::string &argument);
    void cmdMode(const std::string &argument);
    void cmdStru(const std::string &argument);
    void cmdAllo(const std::string &argument);
    void cmdRest(const std::string &argument);
    void cmdAbor(const std::string &argument);
    void cmdStat(const std::string &argument);
    void cmdHelp(const std::string &argument);
    void cmdPasv(const std::string &argument);
    void cmdEpsv(const std::string &argument);
    void cmdPort(const std::string &argument);
    void cmdEprt(const std::string &argument);
    void acceptActiveTarget(const SocketAddress &target);
    Authenticator::Verdict checkLogin(const Authenticator::Attempt &attempt, const std::string &password,
                                      Grant *grant);
    void enter(const Grant &grant);

    // SessionFiles.cpp: paths, directories and file names.
    void cmdPwd(const std::string &argument);
    void cmdCwd(const std::string &argument);
    void cmdCdup(const std::string &argument);
    void cmdSize(const std::string &argument);
    void cmdMdtm(const std::string &argument);
    void cmdDele(const std::string &argument);
    void cmdMkd(const std::string &argument);
    void cmdRmd(const std::string &argument);
    void cmdRnfr(const std::string &argument);
    void cmdRnto(const std::string &argument);
    void cmdMlst(const std::string &argument);
    void cmdMfmt(const std::string &argument);
    bool resolve(const std::string &argument, std::string *virtualPath);
    int openPath(const std::string &virtualPath, int flags);
    int openParent(const std::string &virtualPath, std::string *leaf);
    bool describePath(const std::string &virtualPath, ListEntry *entry);
    void statListing(const std::string &argument);

    // SessionTls.cpp: TLS on the control connection and data connections.
    void cmdAuth(const std::string &argument);
    void cmdPbsz(const std::string &argument);
    void cmdProt(const std::string &argument);
    bool tlsOn() const { return context_.tls != nullptr; }
    bool tlsRequired() const { return config_.tls.mode == TlsMode::kRequired; }
    bool protectsData() const { return dataProtected_ && control_.tls() != nullptr; }
    std::string tlsStatus() const;

    // SessionTransfers.cpp: everything over a data connection.
    void cmdList(const std::string &argument);
    void cmdNlst(const std::string &argument);
    void cmdMlsd(const std::string &argument);
    void cmdRetr(const std::string &argument);
    void cmdStor(const std::string &argument);
    void cmdAppe(const std::string &argument);
    void store(const std::string &argument, bool append);

    // What a LIST, NLST, MLSD or STAT argument names: a directory to read,
    // or one entry.
    enum class ListingKind { kLong, kNames, kFacts };
    struct ListingSource {
        UniqueFd directory;
        ListEntry single;
        std::string pattern;  // NLST: the last component's wildcard
        std::string prefix;   // NLST: the path shown before each name
    };
    // Returns 0, or the reply code for a refusal.
    int openListing(const std::string &argument, ListingKind kind, ListingSource *source);
    void sendListing(const std::string &argument, ListingKind kind);

    enum class Outcome {
        kDone,
        kAborted,
        kNoConnection,
        kNotResumed,  // protected: no connection resumed the control connection's TLS session
        kNetworkFailed,
        kLocalFailed,
        kTimedOut,
        kControlLost
    };
    enum class Wait { kReady, kAborted, kTimedOut, kControlLost };
    // The data connection of one transfer, with its TLS stream when protected.
    struct DataLink {
        UniqueFd fd;
        std::unique_ptr<TlsStream> tls;
    };
    Wait waitDuringTransfer(int fd, short events, Clock::time_point deadline);
    // The same for several descriptors (at most kMaxWatched): ready when any is.
    static constexpr size_t kMaxWatched = DataChannel::kMaxCandidates + 1;
    Wait waitDuringTransfer(const pollfd *fds, size_t count, Clock::time_point deadline);
    // A waiter for a data stream that watches the control connection as
    // waitDuringTransfer does; why it stopped is left in *stopped.
    TlsWaiter transferWaiter(Wait *stopped);
    static Outcome outcomeOf(TlsResult result, Wait stopped);
    void watchControlDuringTransfer(bool *aborted, bool *lost);
    Wait controlBetweenSlices();
    Wait controlAtTimes(Clock::time_point *nextLook);
    static Outcome outcomeOf(Wait wait);
    Clock::time_point idleDeadlineFromNow() const;
    int openPassivePort();
    bool openDataConnection(DataLink *link, Outcome *failure);
    bool openProtectedConnection(DataLink *link, int activeFd, Outcome *failure);
    Outcome sendText(DataLink &link, const std::string &text);
    template <typename Write>
    Outcome streamListing(ListingSource &source, ListingKind kind, Write write);
    void appendListingLine(const ListEntry &entry, ListingKind kind, time_t now, const std::string &prefix,
                           std::string *text) const;
    Outcome sendFile(DataLink &link, int fileFd, off_t offset);
    Outcome sendFileTls(TlsStream &tls, int fileFd, off_t offset);
    Outcome receiveFile(DataLink &link, int fileFd);
    Outcome receiveFileTls(TlsStream &tls, int fileFd);
    void finishTransfer(Outcome outcome, const char *doneText);
    Outcome closeDataConnection(DataLink &link, Outcome outcome);
    static Outcome connectionFailure(Wait wait, bool refused);
    template <typename Move>
    Outcome overDataConnection(Move move);

    ServerContext &context_;
    const ServerConfig &config_;
    std::unique_ptr<TlsSessionBinding> binding_;  // outlives every stream
    ControlChannel control_;
    SocketAddress peer_;
    SocketAddress local_;
    DataChannel data_;

    std::string addressKey_;
    Clock::time_point loginDeadline_;
    bool loggedIn_ = false;
    bool haveUser_ = false;
    std::string user_;
    // Once logged in: the account's name, home (the session's root) and rights.
    std::string account_;
    UniqueFd root_;
    unsigned rights_ = 0;
    int failedLogins_ = 0;
    bool closing_ = false;
    std::string cwd_ = "/";
    bool binary_ = false;
    off_t restartOffset_ = 0;     // set by REST
    off_t transferOffset_ = 0;    // REST's offset for the command right after it
    bool epsvAll_ = false;
    bool pbszDone_ = false;
    bool dataProtected_ = false;  // PROT P
    std::string renameFrom_;
    bool renamePending_ = false;
    FactSelection facts_;
    Clock::time_point lastActivity_;

    // Commands that arrived during a transfer, run once the transfer ends.
    // Past kMaxDeferred the control connection is left unread until then.
    struct DeferredLine {
        bool tooLong;
        std::string text;
    };
    static constexpr size_t kMaxDeferred = 16;
    std::deque<DeferredLine> deferred_;
    bool deferredFull() const { return deferred_.size() >= kMaxDeferred; }
    long long transferredBytes_ = 0;
};

}  // namespace osprel
