// What the monitor library's files share: the log gate they start from and
// the module index their lines carry.
#ifndef LOG_MONITOR_H
#define LOG_MONITOR_H

#include "trevant.h"

// Every file's log gate (see QUILLON_LOG in quillon.h): all six levels.  A
// build may set another.
#ifndef MONITOR_LOG_LEVEL
#define MONITOR_LOG_LEVEL 6
#endif

// Each start-up writes g_moduleMonitorNO while the server tasks of earlier
// start-ups may still read it, so every access is atomic.
static inline int monitorModule(void) { return __atomic_load_n(&g_moduleMonitorNO, __ATOMIC_RELAXED); }

#endif  // LOG_MONITOR_H
