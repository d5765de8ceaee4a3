/*
 * osprel.h - the FTP server routine (libosprel.so.1).
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
 * non-zero at once on a bad command line or a port it cannot listen on. */
OSPREL_EXPORT int ServerMain(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif /* OSPREL_H */
