/*
 * dunmarr.h - named task threads (libdunmarr.so.1).
 *
 * This header is valid C and C++.
 */
#ifndef DUNMARR_H
#define DUNMARR_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define DUNMARR_EXPORT __attribute__((visibility("default")))
#else
#define DUNMARR_EXPORT
#endif

/*
 * Starts a detached thread that calls entry(argument); entry's result is
 * ignored and the thread ends when entry returns.
 *
 * The thread carries the kernel name `taskName`, cut to its first 15
 * characters (as ps and /proc/<pid>/task/<tid>/comm show it).  The name is
 * copied: the caller keeps ownership of the text.  A null `taskName` leaves
 * the name the thread inherits from its creator.  `argument` is passed
 * through untouched and must stay valid for as long as entry uses it.
 *
 * Returns 0 once the new thread runs under its name (entry may not have been
 * entered yet).  Returns -1, having printed one line on standard error and
 * set errno, when the thread cannot start (e.g. EAGAIN: the process or user
 * thread limit is reached) or when `entry` is null (EINVAL).  Safe to call
 * from any thread.
 */
DUNMARR_EXPORT int ThreadTaskCreateAdvanced(const char *taskName, int (*entry)(void *), void *argument);

#ifdef __cplusplus
}
#endif

#endif /* DUNMARR_H */
