#include "ftp_events.h"

#include "demo_log.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>

static int g_demoLogLevel = DEMO_LOG_LEVEL;

namespace {

// The module's log type: error codes 133 (Fatal) to 138 (Debug), as the demo's.
constexpr unsigned kFtpLogType = 4;
// Past the drain: the sessions' 421, their last words and the server's end.
constexpr int kFtpEndGraceSeconds = 4;

int g_ftpModule = -1;

#define FTP_LOG(level, ...) QUILLON_LOG(g_demoLogLevel, g_ftpModule, level, __VA_ARGS__)

// "a transfer of [N] bytes, complete" or "..., cut".
void LogTransfer(const FtpServerEvent &event, const char *what, const char *who) {
    FTP_LOG(event.complete ? QUILLON_INFO : QUILLON_WARNING, "%s: %s [%s], [%llu] bytes, %s.\n", who, what,
            event.path, event.bytes, event.complete ? "complete" : "cut");
}

void LogEvent(const FtpServerEvent &event) {
    char who[512];
    snprintf(who, sizeof who, "session [%llu] user [%s] from [%s]", event.session, event.user, event.address);
    if (event.dropped)
        FTP_LOG(QUILLON_WARNING, "[%llu] events were lost before the next one: the demo took them too slowly.\n",
                event.dropped);
    switch (event.type) {
    case OSPREL_EVENT_LOGIN: FTP_LOG(QUILLON_INFO, "%s: logged in.\n", who); break;
    case OSPREL_EVENT_LOGIN_FAILED: FTP_LOG(QUILLON_WARNING, "%s: login failed.\n", who); break;
    case OSPREL_EVENT_LOGOUT:
        FTP_LOG(QUILLON_INFO, "%s: session ended%s.\n", who, event.complete ? " (QUIT)" : "");
        break;
    case OSPREL_EVENT_DOWNLOAD: LogTransfer(event, "download", who); break;
    case OSPREL_EVENT_UPLOAD: LogTransfer(event, "upload", who); break;
    case OSPREL_EVENT_DELETE: FTP_LOG(QUILLON_INFO, "%s: deleted [%s].\n", who, event.path); break;
    case OSPREL_EVENT_RENAME:
        FTP_LOG(QUILLON_INFO, "%s: renamed [%s] to [%s].\n", who, event.path, event.target);
        break;
    case OSPREL_EVENT_MKDIR: FTP_LOG(QUILLON_INFO, "%s: made directory [%s].\n", who, event.path); break;
    case OSPREL_EVENT_RMDIR: FTP_LOG(QUILLON_INFO, "%s: removed directory [%s].\n", who, event.path); break;
    default: break;
    }
}

}  // namespace

FtpServer *WatchFtpServer(int port) {
    g_ftpModule = registerModule("ftp", "5325", kFtpLogType);
    FtpServer *server = FtpServerFind(port);
    if (server && FtpServerEventFd(server) < 0) {
        FTP_LOG(QUILLON_WARNING, "no descriptor for the FTP server's events: %s.\n", strerror(errno));
        return nullptr;
    }
    return server;
}

void LogFtpEvents(FtpServer *server) {
    while (const FtpServerEvent *event = FtpServerNextEvent(server)) LogEvent(*event);
}

void StopFtpServer(FtpServer *server) {
    FTP_LOG(QUILLON_INFO, "stopping the FTP server: transfers have [%d] s to finish.\n", kFtpDrainSeconds);
    FtpServerStop(server, kFtpDrainSeconds * 1000);
}

void FinishFtpServer(FtpServer *server, int port) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kFtpDrainSeconds + kFtpEndGraceSeconds);
    struct pollfd entry = {FtpServerEventFd(server), POLLIN, 0};
    // ServerMain's server is no longer found once its run is over.
    while (FtpServerFind(port) == server && std::chrono::steady_clock::now() < deadline) {
        poll(&entry, 1, 50);
        LogFtpEvents(server);
    }
    LogFtpEvents(server);
}

std::string FtpSummary(const FtpServer *server) {
    FtpServerStats stats = {};
    if (!server || FtpServerGetStats(server, &stats, sizeof stats) != 0) return "; FTP: not running";
    char text[512];
    snprintf(text, sizeof text,
             "; FTP: %llu sessions, %llu logins (%llu failed), %llu downloads (%llu cut), %llu uploads (%llu cut), "
             "%llu bytes sent, %llu received",
             stats.sessionsTotal, stats.loginsOk, stats.loginsFailed, stats.downloadsComplete, stats.downloadsCut,
             stats.uploadsComplete, stats.uploadsCut, stats.bytesSent, stats.bytesReceived);
    return text;
}
