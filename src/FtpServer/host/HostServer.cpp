#include "host/HostServer.h"

#include <errno.h>

#include <algorithm>
#include <exception>
#include <vector>

#include <cxxabi.h>

namespace osprel {

namespace {

// Never destroyed: a ServerMain may still run while the process exits.
struct ServerMainServers {
    std::mutex mutex;
    std::vector<FtpServer *> running;
    std::vector<std::unique_ptr<FtpServer>> over;
};

ServerMainServers &serverMainServers() {
    static ServerMainServers *servers = new ServerMainServers;
    return *servers;
}

void markRunOver(FtpServer *server) {
    std::lock_guard<std::mutex> lock(server->mutex);
    server->run = FtpServer::Run::kOver;
    server->runOver.notify_all();
}

}  // namespace

FtpServer *createServer(const ServerConfig &config, std::string *error) {
    std::unique_ptr<FtpServer> server;
    try {
        server = std::make_unique<FtpServer>();
        server->config = config;
        server->core = std::make_unique<Server>(server->config, server->events, server->counters);
    } catch (const std::system_error &failure) {
        *error = failure.what();
        errno = failure.code().value();
        return nullptr;
    } catch (const std::bad_alloc &) {
        *error = "out of memory";
        errno = ENOMEM;
        return nullptr;
    }
    if (!server->core->open(error)) return nullptr;  // errno says why
    server->controlPort = server->core->controlPort();
    return server.release();
}

int runServer(FtpServer *server) {
    {
        std::lock_guard<std::mutex> lock(server->mutex);
        if (server->run != FtpServer::Run::kNotYet) {
            errno = EINVAL;
            return -1;
        }
        server->run = FtpServer::Run::kRunning;
    }
    bool ran = false;
    int cause = 0;
    try {
        ran = server->core->run();
        cause = errno;
    } catch (const abi::__forced_unwind &) {
        markRunOver(server);
        throw;
    }
    markRunOver(server);
    if (ran) return 0;
    errno = cause;
    return -1;
}

void stopServer(FtpServer *server, Clock::duration drain) {
    std::lock_guard<std::mutex> lock(server->mutex);
    if (server->core != nullptr) server->core->stop(drain);
}

void destroyServer(FtpServer *server) {
    {
        std::unique_lock<std::mutex> lock(server->mutex);
        if (server->run == FtpServer::Run::kRunning) server->core->stop(Clock::duration::zero());
        server->runOver.wait(lock, [server] { return server->run != FtpServer::Run::kRunning; });
    }
    delete server;
}

void listServerMainServer(FtpServer *server) {
    server->ownedByServerMain = true;
    ServerMainServers &servers = serverMainServers();
    std::lock_guard<std::mutex> lock(servers.mutex);
    servers.running.push_back(server);
}

void retireServerMainServer(FtpServer *server) {
    ServerMainServers &servers = serverMainServers();
    std::unique_ptr<Server> core;
    {
        std::lock_guard<std::mutex> lock(servers.mutex);
        servers.running.erase(std::find(servers.running.begin(), servers.running.end(), server));
        servers.over.emplace_back(server);
    }
    std::lock_guard<std::mutex> lock(server->mutex);
    core = std::move(server->core);
}

FtpServer *findServerMainServer(int controlPort) {
    ServerMainServers &servers = serverMainServers();
    std::lock_guard<std::mutex> lock(servers.mutex);
    for (FtpServer *server : servers.running)
        if (server->controlPort == controlPort) return server;
    return nullptr;
}

}  // namespace osprel
