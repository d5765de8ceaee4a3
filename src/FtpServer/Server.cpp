#include "Server.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <system_error>
#include <thread>

#include "Report.h"

namespace osprel {

namespace {

constexpr int kListenBacklog = 128;

std::string systemError(const std::string &what) { return what + ": " + strerror(errno); }

}  // namespace

Server::Server(const ServerConfig &config)
    : config_(config),
      passivePorts_(config.firstPassivePort, kPassivePortCount),
      context_{config, -1, passivePorts_} {}

Server::~Server() {
    if (listenFd_ >= 0) close(listenFd_);
    if (rootFd_ >= 0) close(rootFd_);
}

bool Server::open(std::string *error) {
    rootFd_ = ::open(config_.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd_ < 0) {
        *error = systemError("cannot open the directory to serve, " + config_.root);
        return false;
    }
    context_.rootFd = rootFd_;

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
    try {
        std::thread([this, controlFd] {
            {
                Session session(context_, controlFd);
                session.run();
            }
            sessions_.fetch_sub(1);
        }).detach();
    } catch (const std::system_error &failure) {
        sessions_.fetch_sub(1);
        reportLine("osprel: cannot start a session thread: %s", failure.what());
        refuse(controlFd, "421 Server busy, try later.\r\n");
    }
}

}  // namespace osprel
