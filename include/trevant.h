/*
 * trevant.h - the monitor library (libtrevant.so.1).  At start-up it
 * registers the module "monitor", prints its self-test lines and starts the
 * FTP server (libosprel's ServerMain) on a task thread of its own.
 *
 * This header is valid C and C++.
 */
#ifndef TREVANT_H
#define TREVANT_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define TREVANT_EXPORT __attribute__((visibility("default")))
#else
#define TREVANT_EXPORT
#endif

/* The index libquillon gave the "monitor" module; 0 before InitMonitor, -1 if
 * registration failed. */
TREVANT_EXPORT extern int g_moduleMonitorNO;

/* Start-up: registers, self-tests, starts the server task, then pauses 6 s
 * (a signal may cut the pause short).  Call once.  Returns 0. */
TREVANT_EXPORT int InitMonitor(void);
TREVANT_EXPORT int log_monitor_init(void);
TREVANT_EXPORT int MonitorThreadCreate(void);

#ifdef __cplusplus
}
#endif

#endif /* TREVANT_H */
