/*
 * osprel.h - the FTP server routine (libosprel.so.1).
 *
 * ServerMain runs a small FTP server (RFC 959 with the extensions of RFC 2428
 * and RFC 3659) on the calling thread, for as long as the server lives.
 *
 * Command line: "-c PORT" is the control port, "-d PORT" the first of 64
 * passive data ports (PORT .. PORT+63).  Both are required.  argv[0] is not
 * looked at.  Exactly argc entries are read and none of their texts is
 * written; the vector may live in read-only memory.
 *
 * Environment, read once when ServerMain starts:
 *   OSPREL_FTP_ROOT             directory served (default: the current directory)
 *   OSPREL_FTP_BIND             numeric IPv4 or IPv6 listen address (default 127.0.0.1)
 *   OSPREL_FTP_USER, OSPREL_FTP_PASSWORD
 *                               both set: only that login is accepted; neither:
 *                               anonymous login (any user name, any password);
 *                               one without the other is refused as a bad setting
 *   OSPREL_FTP_READONLY=1       every command that changes files answers 550
 *   OSPREL_FTP_IDLE_TIMEOUT     seconds before an idle control connection, or a
 *                               data connection without progress, is closed (300)
 *   OSPREL_FTP_PASSIVE_TIMEOUT  seconds a passive port waits for its client (30)
 *
 * Output: nothing ever goes to standard output, which belongs to the host.
 * Standard error gets one line per event, each starting "osprel: ": where the
 * server listens, a refused start, and failures of the server itself.
 *
 * Threads and signals: each client session runs on a thread of its own, at
 * most 64 at once.  SIGPIPE is blocked in the calling thread while the server
 * runs (and so in every thread it starts); the caller's signal mask is back
 * as it was when ServerMain returns.  A vanished client never raises a
 * signal in the host.
 *
 * This header is valid C and C++.
 */
#ifndef OSPREL_H
#define OSPREL_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define OSPREL_EXPORT __attribute__((visibility("default")))
#else
#define OSPREL_EXPORT
#endif

/* Runs an FTP server configured by the command line ("-c PORT -d PORT") and
 * the OSPREL_FTP_* environment; blocks for the server's life.  Returns
 * non-zero at once on a bad command line or setting (2, errno EINVAL), or on
 * a root it cannot open or a port it cannot listen on (1, errno the cause,
 * e.g. EADDRINUSE for a port already taken), after one line on standard
 * error. */
OSPREL_EXPORT int ServerMain(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif /* OSPREL_H */
