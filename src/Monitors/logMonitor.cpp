// The monitor module's registration and its self-test lines.

#include "quillon.h"
#include "trevant.h"

#include <stdio.h>

int g_moduleMonitorNO = 0;

static int g_monitorLogLevel = 6;

int log_monitor_init(void) {
    // Atomic because each start-up's server task reads it from its own thread.
    __atomic_store_n(&g_moduleMonitorNO, registerModule("monitor", "5325", 2), __ATOMIC_RELAXED);
    puts("==========================================");
    QUILLON_LOG(g_monitorLogLevel, g_moduleMonitorNO, QUILLON_FATAL, "=====monitorLogFatal==[%d]=--------------=\n", g_moduleMonitorNO);
    QUILLON_LOG(g_monitorLogLevel, g_moduleMonitorNO, QUILLON_ERROR, "=====monitorLogError==[%d]=--------------=\n", g_moduleMonitorNO);
    QUILLON_LOG(g_monitorLogLevel, g_moduleMonitorNO, QUILLON_WARNING, "=====monitorLogWarning==[%d]=--------------=\n", g_moduleMonitorNO);
    QUILLON_LOG(g_monitorLogLevel, g_moduleMonitorNO, QUILLON_INFO, "=====monitorLogInfo==[%d]=--------------=\n", g_moduleMonitorNO);
    QUILLON_LOG(g_monitorLogLevel, g_moduleMonitorNO, QUILLON_VERBOSE, "=====monitorLogVerbose==[%d]=--------------=\n", g_moduleMonitorNO);
    QUILLON_LOG(g_monitorLogLevel, g_moduleMonitorNO, QUILLON_DEBUG, "=====monitorLogDebug==[%d]=--------------=\n", g_moduleMonitorNO);
    return 0;
}
