// Monitor start-up: the build-time line, and the FTP server started on a task
// thread of its own with a fixed command line.

#include "dunmarr.h"
#include "logMonitor.h"
#include "osprel.h"
#include "quillon.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int g_monitorLogLevel = MONITOR_LOG_LEVEL;

// Constants of the library: the server and the task only ever read them.
static const char kTaskName[] = "MonitorFTPServerTask";
static const char kServerProgram[] = "monitor.elf";
static const char kControlPortOption[] = "-c";
static const char kControlPort[] = "3456";
static const char kDataPortOption[] = "-d";
static const char kDataPort[] = "34567";
static const int kServerArgumentCount = 5;

static const unsigned kStartupPauseSeconds = 6;

// How the server tasks' servers ended: a task whose ServerMain returns counts
// itself here with the result and errno, so that start-up can tell a server
// that did not start from one that is serving.
struct ServerEnd {
    int count;
    int result;
    int error;
};
static ServerEnd g_serverEnd;
static pthread_mutex_t g_serverEndLock = PTHREAD_MUTEX_INITIALIZER;

static ServerEnd LastServerEnd(void) {
    pthread_mutex_lock(&g_serverEndLock);
    ServerEnd end = g_serverEnd;
    pthread_mutex_unlock(&g_serverEndLock);
    return end;
}

static int MonitorBuildTime(void) {
    QUILLON_LOG(g_monitorLogLevel, monitorModule(), QUILLON_INFO, "Monitor Module Build time :" __DATE__ " " __TIME__ " \n");
    return 0;
}

static int MonitorFTPServerTask(void *argument) {
    QUILLON_LOG(g_monitorLogLevel, monitorModule(), QUILLON_INFO, "MonitorFTPServerTask::[%s]\n", static_cast<const char *>(argument));
    // ServerMain's signature wants char *, but it does not write through argv:
    // the entries stay read-only constants.  The vector lives in this frame for
    // as long as the server runs.
    char *serverArguments[kServerArgumentCount] = {
        const_cast<char *>(kServerProgram), const_cast<char *>(kControlPortOption), const_cast<char *>(kControlPort),
        const_cast<char *>(kDataPortOption), const_cast<char *>(kDataPort),
    };
    errno = 0;  // so that a server that sets none is told from one that does
    int result = ServerMain(kServerArgumentCount, serverArguments);
    int error = errno;
    pthread_mutex_lock(&g_serverEndLock);
    g_serverEnd = ServerEnd{g_serverEnd.count + 1, result, error};
    pthread_mutex_unlock(&g_serverEndLock);
    return 0;
}

// The text shown for a failure that came without an errno.
static const char kUnknownReason[] = "unknown reason";

// strerror's text for an errno; never "Success" for 0, which only says that
// the failing library gave no reason.
static const char *ErrorReason(int error, char *buffer, size_t size) {
    return error != 0 ? strerror_r(error, buffer, size) : kUnknownReason;
}

// ServerMain leaves errno set to the cause of a refused start.
static const char *ServerEndReason(const ServerEnd &end, char *buffer, size_t size) {
    if (end.error != 0) return strerror_r(end.error, buffer, size);
    snprintf(buffer, size, "%s: ServerMain returned %d", kUnknownReason, end.result);
    return buffer;
}

int MonitorThreadCreate(void) {
    QUILLON_LOG(g_monitorLogLevel, monitorModule(), QUILLON_INFO, "MonitorThreadCreate\n");
    int endsBefore = LastServerEnd().count;
    // The task name doubles as the task's argument; the task only reads it.
    errno = 0;  // so that a failure that sets none is told apart
    int started = ThreadTaskCreateAdvanced(kTaskName, MonitorFTPServerTask, const_cast<char *>(kTaskName));
    int startError = errno;
    QUILLON_LOG(g_monitorLogLevel, monitorModule(), QUILLON_INFO, "==============\n");
    // One pause; a signal that cuts it short ends it, it is not resumed.
    sleep(kStartupPauseSeconds);
    // Then say why the server is not running, if it is not.
    char reason[128];
    if (started != 0) {
        QUILLON_LOG(g_monitorLogLevel, monitorModule(), QUILLON_ERROR, "FTP server task could not start: [%s].\n",
                    ErrorReason(startError, reason, sizeof reason));
        return -1;
    }
    ServerEnd end = LastServerEnd();
    if (end.count != endsBefore) {
        QUILLON_LOG(g_monitorLogLevel, monitorModule(), QUILLON_ERROR, "FTP server did not start on port [%s]: [%s].\n",
                    kControlPort, ServerEndReason(end, reason, sizeof reason));
        return -1;
    }
    return 0;
}

int InitMonitor(void) {
    log_monitor_init();
    MonitorBuildTime();
    int started = MonitorThreadCreate();
    QUILLON_LOG(g_monitorLogLevel, monitorModule(), QUILLON_DEBUG, "InitMonitor.\n");
    return started;
}
