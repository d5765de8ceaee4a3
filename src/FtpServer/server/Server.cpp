#include "server/Server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cxxabi.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <vector>

#include "base/Report.h"

namespace osprel {

namespace {

constexpr int kListenBacklog = 128;
// After accept fails (out of descriptors or memory) the port rests this long.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

std::string systemError(const std::string &what) { return what + ": " + strerror(errno); }

// mkdir -p, private to the user as the data directory should be.
bool makeDirectories(const std::string &path, std::string *error) {
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string prefix = path.substr(0, end);
        struct stat info;
        if (mkdir(prefix.c_str(), 0700) != 0 && (errno != EEXIST || stat(prefix.c_str(), &info) != 0 ||
                                                 !S_ISDIR(info.st_mode))) {
            if (errno == EEXIST) errno = ENOTDIR;
            *error = systemError("cannot create the directory to serve, " + prefix);
            return false;
        }
        if (end == std::string::npos) return true;
    }
}

bool isFileSystemRoot(int fd) {
    struct stat served;
    struct stat slash;
    return fstat(fd, &served) == 0 && stat("/", &slash) == 0 && served.st_dev == slash.st_dev &&
           served.st_ino == slash.st_ino;
}

// The accounts file's accounts, read again at the next login after the file
// changed (sessions logged in keep what they got); null without one.
std::unique_ptr<Renewable<AccountTable>> accountStore(const ServerConfig &config) {
    if (config.usersFile.empty()) return nullptr;
    std::string path = config.usersFile;
    return std::make_unique<Renewable<AccountTable>>(std::vector<std::string>{path}, "accounts",
                                                     [path](std::string *error) { return loadAccounts(path, error); });
}

}  // namespace

Server::Server(const ServerConfig &config, EventQueue &events, ServerCounters &counters)
    : config_(config),
      events_(events),
      counters_(counters),
      passivePorts_(config.firstPassivePort, config.firstPassivePort == 0 ? 0 : kPassivePortCount),
      accounts_(accountStore(config)),
      authenticator_(config, accounts_.get()),
      totalRate_(config.maxTotalRate),
      context_{config, -1, passivePorts_, logins_, nullptr, authenticator_, &totalRate_, nullptr,
               &stop_, &events_, &counters_},
      slots_(config.maxSessionsPerAddress) {
    endedFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (endedFd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot make the server's descriptors");
}

Server::~Server() {
    closeListener();
    if (rootFd_ >= 0) close(rootFd_);
    close(endedFd_);
}

bool Server::openRoot(std::string *error) {
    if (config_.rootIsDefault && !makeDirectories(config_.root, error)) return false;
    rootFd_ = ::open(config_.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd_ < 0) {
        *error = systemError("cannot open the directory to serve, " + config_.root);
        return false;
    }
    // The whole file system only when asked for in so many words, never
    // through "..", a link or a default.
    if (config_.root.find_first_not_of('/') != std::string::npos && isFileSystemRoot(rootFd_)) {
        *error = "refusing to serve / (reached through " + config_.root + "); set OSPREL_FTP_ROOT=/ to mean it";
        errno = EPERM;  // ServerMain's caller learns the cause from errno
        return false;
    }
    context_.rootFd = rootFd_;
    return true;
}

bool Server::open(std::string *error) {
    if (!openRoot(error)) return false;
    if (accounts_ != nullptr && !accounts_->loadFirst(error)) return false;
    if (config_.tls.mode != TlsMode::kOff) {
        tls_ = loadRenewedTlsContext(config_.tls, error);
        if (tls_ == nullptr) return false;
        context_.tls = tls_.get();
    }
    if (!config_.transferLogPath.empty()) {
        transferLog_ = TransferLog::open(config_.transferLogPath, error);
        if (transferLog_ == nullptr) return false;
        context_.transferLog = transferLog_.get();
    }
    if (!listenForClients(error)) return false;
    confinement_ = Confinement::prepare(config_, rootFd_, controlPort_, error);
    return confinement_ != nullptr;
}

// Non-blocking, so the server thread never waits in accept and always
// hears a stop.
bool Server::listenForClients(std::string *error) {
    std::string where = config_.bindText + " port " + std::to_string(config_.controlPort);
    listenFd_ = socket(config_.bindAddress.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        *error = systemError("cannot create the control socket");
        return false;
    }
    int on = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    SocketAddress address;
    memcpy(&address.storage, &config_.bindAddress, sizeof address.storage);
    address.length = config_.bindAddressLength;
    address.setPort(config_.controlPort);
    if (bind(listenFd_, address.raw(), address.length) != 0 || listen(listenFd_, kListenBacklog) != 0) {
        *error = systemError("cannot listen on " + where);
        return false;
    }
    controlPort_ = localAddressOf(listenFd_).port();
    return true;
}

void Server::closeListener() {
    std::lock_guard<std::mutex> lock(listenMutex_);
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
}

void Server::stop(Clock::duration drain) {
    // Shut down, not closed: the server thread may be polling it, and only
    // that thread closes it.  New connections are refused from now on, and
    // before any session hears of the stop: a client that has read its 421
    // finds the port closed.
    {
        std::lock_guard<std::mutex> lock(listenMutex_);
        if (listenFd_ >= 0) shutdown(listenFd_, SHUT_RDWR);
    }
    stop_.request(drain);
    authenticator_.interrupt();
}

bool Server::run() {
    if (ran_) {
        errno = EINVAL;
        return false;
    }
    ran_ = true;
    std::thread server;
    try {
        server = std::thread(&Server::serverThread, this);
    } catch (const std::system_error &failure) {
        reportLine("osprel: cannot start the server's thread: %s", strerror(failure.code().value()));
        errno = failure.code().value();
        return false;
    }
    try {
        server.join();
    } catch (const abi::__forced_unwind &) {
        // The caller's thread is being cancelled: the server must not
        // outlive it.
        stop(Clock::duration::zero());
        int state = 0;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
        server.join();
        pthread_setcancelstate(state, nullptr);
        throw;
    }
    if (confineFailure_ == 0) return true;
    errno = confineFailure_;
    return false;
}

// Where the server's own threads begin: every session thread is started
// from this one, and inherits what it sets up here.  Every signal stays
// blocked: a client that vanishes, or a file (an upload, the transfer log)
// that reaches the process's file size limit, must not kill the host
// (SIGPIPE, SIGXFSZ: the call that would raise them fails instead), and the
// host's handlers must not run in a confined thread.  Named, so the host's
// own threads are told from the server's (ps -L).  Confined before the
// first client, or it serves none.
void Server::serverThread() {
    pthread_setname_np(pthread_self(), "osprel-server");
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, nullptr);
    std::string reason;
    if (!confinement_->confineThisThread(&reason)) {
        confineFailure_ = errno;
        reportLine("osprel: %s; serving nothing", reason.c_str());
        closeListener();
        return;
    }
    acceptClients();
    closeListener();
    finishSessions();
}

void Server::addWaits(std::vector<pollfd> *fds, Clock::time_point *wake) {
    fds->push_back({endedFd_, POLLIN, 0});
    for (const LingeringClose &refused : lingering_) {
        fds->push_back({refused.fd(), POLLIN, 0});
        *wake = std::min(*wake, refused.deadline());
    }
}

void Server::acceptClients() {
    Clock::time_point acceptPausedUntil{};
    int lastReported = 0;
    std::vector<pollfd> fds;
    while (!stop_.requested()) {
        fds.clear();
        Clock::time_point wake = Clock::time_point::max();
        bool paused = Clock::now() < acceptPausedUntil;
        if (paused) wake = acceptPausedUntil;
        fds.push_back({paused ? -1 : listenFd_, POLLIN, 0});
        fds.push_back({stop_.requestedFd(), POLLIN, 0});
        addWaits(&fds, &wake);
        int timeout = wake == Clock::time_point::max() ? -1 : millisecondsUntil(wake);
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) continue;
        reapSessions();
        serviceLingering();
        if ((fds[0].revents & POLLIN) == 0) continue;
        for (;;) {
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                lastReported = 0;
                startSession(fd);
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            // EINVAL: a stop has shut the listener down and is about to be
            // seen by the loop.
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINVAL || stop_.requested()) break;
            // Out of descriptors or memory: say so once, breathe, keep serving.
            if (errno != lastReported) reportLine("osprel: accepting a connection failed: %s", strerror(errno));
            lastReported = errno;
            acceptPausedUntil = Clock::now() + kAcceptPause;
            break;
        }
    }
}

// Waits for every session to end; past the cut and its grace, a session
// still running has its control connection shut down.  Then the refused
// connections' last words.
void Server::finishSessions() {
    bool shutDown = false;
    std::vector<pollfd> fds;
    while (!sessions_.empty() || !lingering_.empty()) {
        Clock::time_point wake = Clock::time_point::max();
        fds.clear();
        if (!shutDown && !sessions_.empty()) {
            bool cut = stop_.cutDue();
            Clock::time_point shutDownAt = stop_.cutAt() + kStopGrace;
            if (cut && Clock::now() >= shutDownAt) {
                for (SessionThread &session : sessions_) shutdown(session.controlFd, SHUT_RDWR);
                shutDown = true;
            } else {
                // The cut may be brought forward meanwhile.
                fds.push_back({cut ? -1 : stop_.cutFd(), POLLIN, 0});
                if (cut) wake = shutDownAt;
            }
        }
        addWaits(&fds, &wake);
        int timeout = wake == Clock::time_point::max() ? -1 : millisecondsUntil(wake);
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) continue;
        reapSessions();
        serviceLingering();
    }
}

void Server::reapSessions() {
    uint64_t ended = 0;
    if (read(endedFd_, &ended, sizeof ended) <= 0) return;
    for (auto session = sessions_.begin(); session != sessions_.end();) {
        if (!session->ended.load(std::memory_order_acquire)) {
            ++session;
            continue;
        }
        session->thread.join();
        close(session->controlFd);
        session = sessions_.erase(session);
    }
}

void Server::serviceLingering() {
    Clock::time_point now = Clock::now();
    for (auto refused = lingering_.begin(); refused != lingering_.end();) {
        if (refused->drained() || now >= refused->deadline()) {
            close(refused->fd());
            refused = lingering_.erase(refused);
        } else {
            ++refused;
        }
    }
}

// The reply goes out without waiting; the connection then lingers a moment
// in the server thread's loop, never holding it up.
void Server::refuse(int controlFd, const char *reply) {
    count(counters_.sessionsRefused);
    ssize_t ignored = send(controlFd, reply, strlen(reply), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
    if (lingering_.size() >= kMaxLingering) {
        close(lingering_.front().fd());
        lingering_.pop_front();
    }
    try {
        lingering_.emplace_back(controlFd);
    } catch (...) {
        close(controlFd);
    }
}

void Server::sessionThread(SessionThread &session, unsigned long long number) {
    pthread_setname_np(pthread_self(), "osprel-session");
    serveClient(context_, session.controlFd, number);
    slots_.release(session.key);
    sessionCount_.fetch_sub(1);
    session.ended.store(true, std::memory_order_release);
    uint64_t one = 1;
    ssize_t ignored = write(endedFd_, &one, sizeof one);
    (void)ignored;
}

void Server::startSession(int controlFd) {
    if (sessionCount_.fetch_add(1) >= kMaxSessions) {
        sessionCount_.fetch_sub(1);
        refuse(controlFd, "421 Too many sessions, try later.\r\n");
        return;
    }
    bool slotTaken = false;
    std::string key;
    try {
        key = addressKey(peerAddressOf(controlFd));
        slotTaken = slots_.take(key);
        if (slotTaken) {
            SessionThread &session = sessions_.emplace_back();
            session.controlFd = controlFd;
            session.key = key;
            unsigned long long number = ++sessionsStarted_;
            count(counters_.sessionsNow);
            count(counters_.sessionsTotal);
            try {
                session.thread = std::thread(&Server::sessionThread, this, std::ref(session), number);
            } catch (...) {
                --sessionsStarted_;
                counters_.sessionsNow.fetch_sub(1);
                counters_.sessionsTotal.fetch_sub(1);
                sessions_.pop_back();
                throw;
            }
            return;
        }
        refuse(controlFd, "421 Too many sessions from your address, try later.\r\n");
    } catch (const std::exception &failure) {
        reportLine("osprel: cannot start a session: %s", failure.what());
        refuse(controlFd, "421 Server busy, try later.\r\n");
    }
    if (slotTaken) slots_.release(key);
    sessionCount_.fetch_sub(1);
}

}  // namespace osprel
