/*
 * trevant.h - the monitor library (libtrevant.so.1).
 *
 * At start-up the library registers the module "monitor" (tag "5325", log
 * type 2) with libquillon, prints its banner and self-test lines, and starts
 * the FTP server (libosprel's ServerMain) on a task thread of its own named
 * "MonitorFTPServerTask" (libdunmarr), with the fixed command line
 *
 *     monitor.elf -c 3456 -d 34567
 *
 * i.e. control port 3456 and passive data ports from 34567.  The server's
 * other settings (served directory, listen address, credentials) come from
 * the OSPREL_FTP_* environment, read when the task starts.  The task runs
 * as long as the server does: until FtpServerStop stops the server that
 * FtpServerFind(3456) finds (osprel.h), after which the task ends.
 *
 * Every line goes through libquillon on standard output; the banner is
 * printed directly.  libtrevant needs libquillon, libosprel, libdunmarr and
 * the POSIX threads library, and finds them in its own build or install
 * directory.
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

/* The index libquillon gave the "monitor" module: 0 before InitMonitor, -1
 * if registration failed (the lines then carry no module name).  Written by
 * log_monitor_init; read it only after InitMonitor has returned. */
TREVANT_EXPORT extern int g_moduleMonitorNO;

/*
 * Start-up, in order: log_monitor_init, the build-time line, then
 * MonitorThreadCreate, then "InitMonitor." at Debug level.  Blocks the
 * calling thread for about 6 seconds (see MonitorThreadCreate).  Call it
 * once, from the host's start-up thread: each call registers another module
 * row and starts another server task, which cannot bind the same port.
 * Returns 0 when the FTP server is running, -1 when it is not
 * (MonitorThreadCreate has logged why).
 */
TREVANT_EXPORT int InitMonitor(void);

/* Registers "monitor", stores the index in g_moduleMonitorNO, prints a line
 * of 42 '=' and one self-test line per level (Fatal to Debug, codes 117-122).
 * Always returns 0. */
TREVANT_EXPORT int log_monitor_init(void);

/*
 * Starts the server task thread and then sleeps 6 seconds in one sleep()
 * call, which gives the server time to listen before the host goes on.  A
 * signal delivered to the calling thread during the pause ends it early; it
 * is not resumed.  If the thread cannot start, libdunmarr also says so on
 * standard error; the pause happens all the same.  After the pause, returns
 * 0 when the server is running, or -1 after an Error line that says why it
 * is not: "FTP server task could not start: [reason]." when the thread could
 * not start, or "FTP server did not start on port [3456]: [reason]." when the
 * server returned during the pause (for a port already taken the reason is
 * "Address already in use"; the server's own line is on standard error).
 * The reason is errno's text; a failure that left errno 0 shows as
 * "[unknown reason]" (the server's as "[unknown reason: ServerMain returned
 * N]"), never as "[Success]".
 */
TREVANT_EXPORT int MonitorThreadCreate(void);

#ifdef __cplusplus
}
#endif

#endif /* TREVANT_H */
