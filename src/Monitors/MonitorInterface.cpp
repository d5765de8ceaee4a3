// Monitor start-up: the build-time line, and the FTP server started on a task
// thread of its own with a fixed command line.

#include "dunmarr.h"
#include "logMonitor.h"
#include "osprel.h"
#include "quillon.h"

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
    ServerMain(kServerArgumentCount, serverArguments);
    return 0;
}

int MonitorThreadCreate(void) {
    QUILLON_LOG(g_monitorLogLevel, monitorModule(), QUILLON_INFO, "MonitorThreadCreate\n");
    // The task name doubles as the task's argument; the task only reads it.
    ThreadTaskCreateAdvanced(kTaskName, MonitorFTPServerTask, const_cast<char *>(kTaskName));
    QUILLON_LOG(g_monitorLogLevel, monitorModule(), QUILLON_INFO, "==============\n");
    // One pause; a signal that cuts it short ends it, it is not resumed.
    sleep(kStartupPauseSeconds);
    return 0;
}

int InitMonitor(void) {
    log_monitor_init();
    MonitorBuildTime();
    MonitorThreadCreate();
    QUILLON_LOG(g_monitorLogLevel, monitorModule(), QUILLON_DEBUG, "InitMonitor.\n");
    return 0;
}
