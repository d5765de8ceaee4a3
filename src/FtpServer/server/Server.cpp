#include "server/Server.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <thread>

#include "base/Report.h"

namespace osprel {

namespace {

constexpr int kListenBacklog = 128;

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

Server::Server(const ServerConfig &config)
    : config_(config),
      passivePorts_(config.firstPassivePort, kPassivePortCount),
      accounts_(accountStore(config)),
      authenticator_(config, accounts_.get()),
      totalRate_(config.maxTotalRate),
      context_{config, -1, passivePorts_, logins_, nullptr, authenticator_, &totalRate_, nullptr},
      slots_(config.maxSessionsPerAddress) {}

Server::~Server() {
    if (listenFd_ >= 0) close(listenFd_);
    if (rootFd_ >= 0) close(rootFd_);
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

    std::string where = config_.bindText + " port " + std::to_string(config_.controlPort);
    listenFd_ = socket(config_.bindAddress.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
    return true;
}

void Server::serve() {
    int lastReported = 0;
    for (;;) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            lastReported = 0;
            startSession(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        // Out of descriptors or memory: say so once, breathe, keep serving.
        if (errno != lastReported) reportLine("osprel: accepting a connection failed: %s", strerror(errno));
        lastReported = errno;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void Server::refuse(int controlFd, const char *reply) {
    ssize_t ignored = send(controlFd, reply, strlen(reply), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
    close(controlFd);
}

void Server::startSession(int controlFd) {
    if (sessions_.fetch_add(1) >= kMaxSessions) {
        sessions_.fetch_sub(1);
        refuse(controlFd, "421 Too many sessions, try later.\r\n");
        return;
    }
    bool slotTaken = false;
    std::string key;
    try {
        key = addressKey(peerAddressOf(controlFd));
        slotTaken = slots_.take(key);
        if (slotTaken) {
            std::thread([this, controlFd, key] {
                serveClient(context_, controlFd);
                slots_.release(key);
                sessions_.fetch_sub(1);
            }).detach();
            return;
        }
        refuse(controlFd, "421 Too many sessions from your address, try later.\r\n");
    } catch (const std::exception &failure) {
        reportLine("osprel: cannot start a session: %s", failure.what());
        refuse(controlFd, "421 Server busy, try later.\r\n");
    }
    if (slotTaken) slots_.release(key);
    sessions_.fetch_sub(1);
}

}  // namespace osprel
