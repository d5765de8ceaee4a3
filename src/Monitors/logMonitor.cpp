// The monitor module's registration and its self-test lines.

#include "logMonitor.h"
#include "quillon.h"

#include <stdio.h>

int g_moduleMonitorNO = 0;

static int g_monitorLogLevel = MONITOR_LOG_LEVEL;

int log_monitor_init(void) {
    int module = registerModule("monitor", "5325", 2);
    __atomic_store_n(&g_moduleMonitorNO, module, __ATOMIC_RELAXED);
    puts("==========================================");
    QUILLON_LOG(g_monitorLogLevel, module, QUILLON_FATAL, "=====monitorLogFatal==[%d]=--------------=\n", module);
    QUILLON_LOG(g_monitorLogLevel, module, QUILLON_ERROR, "=====monitorLogError==[%d]=--------------=\n", module);
    QUILLON_LOG(g_monitorLogLevel, module, QUILLON_WARNING, "=====monitorLogWarning==[%d]=--------------=\n", module);
    QUILLON_LOG(g_monitorLogLevel, module, QUILLON_INFO, "=====monitorLogInfo==[%d]=--------------=\n", module);
    QUILLON_LOG(g_monitorLogLevel, module, QUILLON_VERBOSE, "=====monitorLogVerbose==[%d]=--------------=\n", module);
    QUILLON_LOG(g_monitorLogLevel, module, QUILLON_DEBUG, "=====monitorLogDebug==[%d]=--------------=\n", module);
    return 0;
}
