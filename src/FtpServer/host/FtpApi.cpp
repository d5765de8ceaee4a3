// The C functions of osprel.h that hosts call: settings in code, the
// server's life, its events and counters.  Nothing here throws into the
// host: failures come back as values, with errno set.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "host/HostServer.h"
#include "osprel.h"

namespace {

static_assert(OSPREL_EVENT_LOGIN == static_cast<int>(osprel::EventType::kLogin) &&
              OSPREL_EVENT_RMDIR == static_cast<int>(osprel::EventType::kRemoveDirectory));

// The reason, cut to fit; errno as given.
int refuse(char *error, size_t errorSize, const std::string &reason, int cause) {
    if (error != nullptr && errorSize > 0) snprintf(error, errorSize, "%s", reason.c_str());
    errno = cause;
    return -1;
}

// Named settings from the handle; the default root's variables from the
// environment, read only when no root is set.
osprel::SettingLookup lookupIn(const FtpSettings &settings) {
    return [&settings](const char *name) -> const char * {
        if (!osprel::isSetting(name, nullptr)) return getenv(name);
        auto found = settings.values.find(name);
        return found == settings.values.end() ? nullptr : found->second.c_str();
    };
}

void fillView(FtpServer *server) {
    const osprel::ServerEvent &event = server->taken;
    server->takenView = FtpServerEvent{static_cast<int>(event.type), event.complete ? 1 : 0, event.session,
                                       event.bytes, event.dropped, event.user.c_str(), event.address.c_str(),
                                       event.path.c_str(), event.target.c_str()};
}

}  // namespace

extern "C" {

OSPREL_EXPORT FtpSettings *FtpSettingsCreate(void) { return new (std::nothrow) FtpSettings; }

OSPREL_EXPORT void FtpSettingsDestroy(FtpSettings *settings) { delete settings; }

OSPREL_EXPORT int FtpSettingsSet(FtpSettings *settings, const char *name, const char *value, char *error,
                                 size_t errorSize) {
    if (settings == nullptr || name == nullptr) return refuse(error, errorSize, "no settings or no name", EINVAL);
    if (!osprel::isSetting(name, nullptr))
        return refuse(error, errorSize, std::string("unknown setting \"") + name + "\"", EINVAL);
    try {
        std::string reason;
        if (!osprel::checkSetting(name, value, &reason)) return refuse(error, errorSize, reason, EINVAL);
        if (value == nullptr)
            settings->values.erase(name);
        else
            settings->values[name] = value;
    } catch (const std::bad_alloc &) {
        return refuse(error, errorSize, "out of memory", ENOMEM);
    }
    return 0;
}

OSPREL_EXPORT int FtpSettingsFromEnvironment(FtpSettings *settings, char *error, size_t errorSize) {
    if (settings == nullptr) return refuse(error, errorSize, "no settings", EINVAL);
    try {
        osprel::ServerConfig config;
        std::string reason;
        if (!osprel::readEnvironment(getenv, &config, &reason)) return refuse(error, errorSize, reason, EINVAL);
        std::map<std::string, std::string> values = settings->values;
        osprel::forEachEnvironmentSetting([&values](const char *name) {
            const char *value = getenv(name);
            if (value != nullptr)
                values[name] = value;
            else
                values.erase(name);
        });
        settings->values.swap(values);
    } catch (const std::bad_alloc &) {
        return refuse(error, errorSize, "out of memory", ENOMEM);
    }
    return 0;
}

OSPREL_EXPORT FtpServer *FtpServerCreate(const FtpSettings *settings, char *error, size_t errorSize) {
    if (settings == nullptr) {
        refuse(error, errorSize, "no settings", EINVAL);
        return nullptr;
    }
    try {
        osprel::ServerConfig config;
        std::string reason;
        if (!osprel::readSettings(lookupIn(*settings), &config, &reason)) {
            refuse(error, errorSize, reason, EINVAL);
            return nullptr;
        }
        FtpServer *server = osprel::createServer(config, &reason);
        if (server == nullptr) refuse(error, errorSize, reason, errno);
        return server;
    } catch (const std::bad_alloc &) {
        refuse(error, errorSize, "out of memory", ENOMEM);
        return nullptr;
    }
}

OSPREL_EXPORT int FtpServerControlPort(const FtpServer *server) {
    if (server == nullptr) return refuse(nullptr, 0, "", EINVAL);
    return server->controlPort;
}

OSPREL_EXPORT int FtpServerRun(FtpServer *server) {
    if (server == nullptr) return refuse(nullptr, 0, "", EINVAL);
    return osprel::runServer(server);
}

OSPREL_EXPORT int FtpServerStop(FtpServer *server, int drainMilliseconds) {
    if (server == nullptr || drainMilliseconds < 0) return refuse(nullptr, 0, "", EINVAL);
    osprel::stopServer(server, std::chrono::milliseconds(drainMilliseconds));
    return 0;
}

OSPREL_EXPORT void FtpServerDestroy(FtpServer *server) {
    if (server != nullptr && !server->ownedByServerMain) osprel::destroyServer(server);
}

OSPREL_EXPORT FtpServer *FtpServerFind(int controlPort) { return osprel::findServerMainServer(controlPort); }

OSPREL_EXPORT int FtpServerEventFd(FtpServer *server) {
    if (server == nullptr) return refuse(nullptr, 0, "", EINVAL);
    return server->events.descriptor();
}

OSPREL_EXPORT const FtpServerEvent *FtpServerNextEvent(FtpServer *server) {
    if (server == nullptr || !server->events.take(&server->taken)) return nullptr;
    fillView(server);
    return &server->takenView;
}

OSPREL_EXPORT int FtpServerGetStats(const FtpServer *server, FtpServerStats *stats, size_t size) {
    if (server == nullptr || stats == nullptr) return refuse(nullptr, 0, "", EINVAL);
    auto read = [](const std::atomic<unsigned long long> &counter) { return counter.load(std::memory_order_relaxed); };
    const osprel::ServerCounters &counters = server->counters;
    FtpServerStats all{read(counters.sessionsNow),       read(counters.sessionsTotal), read(counters.sessionsRefused),
                       read(counters.loginsOk),          read(counters.loginsFailed),  read(counters.downloadsComplete),
                       read(counters.downloadsCut),      read(counters.uploadsComplete), read(counters.uploadsCut),
                       read(counters.bytesSent),         read(counters.bytesReceived), server->events.dropped()};
    memcpy(stats, &all, size < sizeof all ? size : sizeof all);
    return 0;
}

}  // extern "C"
