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

/* Starts a detached thread that runs entry(argument); the thread is named
 * `taskName` (cut to the kernel's 15 characters).  Returns 0 once the thread
 * runs, or -1 with one line on standard error if it cannot start. */
DUNMARR_EXPORT int ThreadTaskCreateAdvanced(const char *taskName, int (*entry)(void *), void *argument);

#ifdef __cplusplus
}
#endif

#endif /* DUNMARR_H */
