// One client's session, run on a thread of its own from greeting to close:
// the greeting, login, the command table and the session's state.  Data
// transfers are handed to a Transfer (Transfer.h), the data connection's
// set-up to DataSetup, paths to the session's Jail.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "access/Authenticator.h"
#include "base/Renewal.h"
#include "base/Rights.h"
#include "base/StopSignal.h"
#include "config/ServerConfig.h"
#include "control/ControlChannel.h"
#include "events/ServerEvents.h"
#include "files/Jail.h"
#include "files/StoredFile.h"
#include "net/AddressLimits.h"
#include "net/NetAddress.h"
#include "session/ControlWatch.h"
#include "tls/TlsContext.h"
#include "tls/TlsSessionBinding.h"
#include "transfer/DataSetup.h"
#include "transfer/ListingSource.h"
#include "transfer/RateLimit.h"
#include "transfer/Transfer.h"
#include "transfer/TransferLog.h"

namespace osprel {

// What every session shares: the settings, the served root, the passive
// ports, the failed logins per address, the TLS contexts (null with TLS
// off; each session takes the one current when it starts), the logins'
// checks, the total rate cap and the transfer log (null for none), the
// server's stop, its events and its counters (null: none).  Read-only after
// start, apart from the port range's cursor, the throttle, the TLS contexts,
// the authenticator, the total cap, the log, the events and the counters,
// which guard themselves.
struct ServerContext {
    const ServerConfig &config;
    int rootFd;
    PassivePortRange &passivePorts;
    LoginThrottle &logins;
    Renewable<TlsContext> *tls;
    Authenticator &authenticator;
    TotalRate *totalRate = nullptr;
    TransferLog *transferLog = nullptr;
    const StopSignal *stop = nullptr;
    EventQueue *events = nullptr;
    ServerCounters *counters = nullptr;
};

// Runs session number `number` on controlFd from greeting to end, closes it
// lingering (LingeringClose.h), takes it off the sessions counted as running
// (which whoever started it counted) and tells its end; the caller closes
// controlFd.  Never throws: whatever goes wrong inside the
// session (an exception, an allocation failure) ends that session alone,
// with a 421 to its client.
void serveClient(ServerContext &context, int controlFd, unsigned long long number) noexcept;

// What the end of a session tells: who (once logged in), from where, and
// whether the client said QUIT.
struct SessionEnd {
    std::string user;
    std::string address;
    bool quit = false;
};

// STAT's line on TLS: the control connection's protocol and whether data
// connections are protected.
std::string tlsStatus(const ControlChannel &control, bool dataProtected);

class Session {
public:
    // Uses controlFd; the caller closes it.  *end is kept up to date.
    Session(ServerContext &context, int controlFd, unsigned long long number, SessionEnd *end);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Greets the client and serves it until it leaves; may throw.
    void run();

    // The reply to a session ended by a fault.
    static constexpr char kFaultReply[] = "421 Internal error, closing the session.\r\n";

private:
    using Handler = void (*)(Session &session, const std::string &argument);
    template <void (Session::*member)(const std::string &)>
    static void call(Session &session, const std::string &argument) {
        (session.*member)(argument);
    }
    enum RuleFlag : unsigned {
        kBeforeLogin = 1,     // allowed before login
        kNeedsArgument = 2,
        kMovesData = 8,       // uses a data connection
        kTlsOnly = 16,        // unknown with TLS off
        kCarriesLogin = 32,   // USER and PASS: over TLS only when TLS is required
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
    Next endStopped();
    void execute(const std::string &line);
    bool stopRequested() const { return context_.stop != nullptr && context_.stop->requested(); }
    Clock::time_point idleDeadline() const;
    // Before login: the idle deadline or the log-in deadline, the earlier.
    Clock::time_point sessionDeadline() const;
    void replyLoginTimeOut();

    // SessionLogin.cpp: USER and PASS.
    void cmdUser(const std::string &argument);
    void cmdPass(const std::string &argument);
    Authenticator::Verdict checkLogin(const Authenticator::Attempt &attempt, const std::string &password,
                                      Grant *grant);
    void enter(const Grant &grant);
    void loginFailed();

    // Session.cpp: the commands without files.
    void cmdFeat(const std::string &argument);
    void cmdOpts(const std::string &argument);
    void cmdType(const std::string &argument);
    void cmdRest(const std::string &argument);
    void cmdStat(const std::string &argument);
    void cmdHelp(const std::string &argument);

    // SessionFiles.cpp: paths, directories and file names.
    void cmdPwd(const std::string &argument);
    void changeDirectory(const std::string &argument, int doneCode);
    void cmdSize(const std::string &argument);
    void cmdMdtm(const std::string &argument);
    void cmdDele(const std::string &argument);
    void cmdMkd(const std::string &argument);
    void cmdRmd(const std::string &argument);
    void cmdRnfr(const std::string &argument);
    void cmdRnto(const std::string &argument);
    void cmdMlst(const std::string &argument);
    void cmdMfmt(const std::string &argument);

    // SessionTls.cpp: TLS on the control connection, PBSZ and PROT.
    void cmdAuth(const std::string &argument);
    void cmdPbsz(const std::string &argument);
    void cmdProt(const std::string &argument);
    bool tlsOn() const { return tls_ != nullptr; }
    bool tlsRequired() const { return config_.tls.mode == TlsMode::kRequired; }
    bool protectsData() const { return dataProtected_ && control_.tls() != nullptr; }

    // SessionTransfers.cpp: the commands that move data, and their replies.
    void sendListing(const std::string &argument, ListingSource::Kind kind);
    void statListing(const std::string &argument);
    void cmdRetr(const std::string &argument);
    void store(const std::string &argument, bool append);
    void cmdStou(const std::string &argument);
    void upload(const std::string &argument, StoredFile::Mode mode, off_t offset);
    void cmdAllo(const std::string &argument);
    bool replyStorageRefusal(TransferOutcome outcome);
    TransferSettings transferSettings();
    void finishTransfer(TransferOutcome outcome, const char *doneText);
    void finishFileTransfer(const Transfer &transfer, TransferOutcome outcome, const std::string &path,
                            TransferDirection direction);
    void logTransfer(const std::string &path, TransferDirection direction, long long bytes, Clock::duration took,
                     bool complete);
    // Posts an event of this session when the host takes events.
    void tell(EventType type, bool complete, const std::string &path = std::string(), unsigned long long bytes = 0,
              const std::string &target = std::string()) noexcept;

    ServerContext &context_;
    const ServerConfig &config_;
    const unsigned long long number_;
    SessionEnd &end_;
    // The TLS context of the whole session, control and data connections
    // alike: data connections resume the control connection's TLS session,
    // which only the context that made it knows.  Null with TLS off.
    std::shared_ptr<const TlsContext> tls_;
    std::unique_ptr<TlsSessionBinding> binding_;  // outlives every stream
    ControlChannel control_;
    ControlWatch watch_;
    SocketAddress peer_;
    SocketAddress local_;
    DataSetup dataSetup_;
    UniqueFd root_;  // once logged in: the account's home, the jail's root
    Jail jail_;
    RateLimit rate_;

    std::string addressKey_;
    Clock::time_point loginDeadline_;
    bool loggedIn_ = false;
    bool haveUser_ = false;
    std::string user_;
    std::string account_;  // once logged in: the name STAT shows, and the rights
    unsigned rights_ = 0;
    bool anonymous_ = false;
    int failedLogins_ = 0;
    bool closing_ = false;
    bool binary_ = false;
    off_t restartOffset_ = 0;     // set by REST
    off_t transferOffset_ = 0;    // REST's offset for the command right after it
    bool pbszDone_ = false;
    bool dataProtected_ = false;  // PROT P
    std::string renameFrom_;
    bool renamePending_ = false;
    FactSelection facts_;
    Clock::time_point lastActivity_;
};

}  // namespace osprel
