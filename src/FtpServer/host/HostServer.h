// What the C interface's handles hold: FtpSettings, the settings by name;
// FtpServer, a Server with the events and counters that outlive it.  A
// server that ServerMain runs is listed for FtpServerFind while it runs,
// and its handle stays valid for the life of the process after that, so a
// host that found it can never be left holding a freed one.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "config/ServerConfig.h"
#include "events/ServerEvents.h"
#include "osprel.h"
#include "server/Server.h"

struct FtpSettings {
    std::map<std::string, std::string> values;  // the settings set, by name
};

struct FtpServer {
    enum class Run { kNotYet, kRunning, kOver };

    osprel::ServerConfig config;
    osprel::EventQueue events;
    osprel::ServerCounters counters;
    int controlPort = 0;
    bool ownedByServerMain = false;

    std::mutex mutex;  // guards what follows
    std::unique_ptr<osprel::Server> core;  // null once a ServerMain's server is over
    Run run = Run::kNotYet;
    std::condition_variable runOver;

    // The event FtpServerNextEvent returned last, whose texts it points to.
    osprel::ServerEvent taken;
    FtpServerEvent takenView{};
};

namespace osprel {

// Everything ServerMain does before it serves.  Null with a one-line reason
// in *error and the cause in errno.
FtpServer *createServer(const ServerConfig &config, std::string *error);
// Serves until stopped; 0, or -1 with errno when it cannot start.
int runServer(FtpServer *server);
void stopServer(FtpServer *server, Clock::duration drain);
// Waits for a run to be over, stopping it at once first if it runs.
void destroyServer(FtpServer *server);

// ServerMain's servers: found by their control port while they run.
void listServerMainServer(FtpServer *server);
// Taken off the list; what serves is freed, the handle kept.
void retireServerMainServer(FtpServer *server);
FtpServer *findServerMainServer(int controlPort);

}  // namespace osprel
