/* A wall clock the tests can pin.  Linked into a test program ahead of the
 * C library, its gettimeofday() takes the place of the C library's for the
 * whole process, libquillon included.  The start value comes from
 * CLOCK_SHIM_TIME ("seconds.microseconds", or "fail" for a clock that
 * cannot be read); without it the real clock runs.  On 32-bit targets the
 * C library's header gives gettimeofday the name of its 64-bit-time twin
 * (__gettimeofday64), and so to this definition too: the name libquillon,
 * built with the same 64-bit time, calls. */
#include "clock_shim.h"

#include <stdlib.h>
#include <string.h>
#include <errno.h>
#include <sys/time.h>
#include <time.h>

static int pinned;
static long long pinnedSeconds;
static long pinnedMicroseconds;
static int failing;

__attribute__((constructor)) static void readEnvironment(void) {
    const char *value = getenv("CLOCK_SHIM_TIME");
    pinned = 0;
    if (value && strcmp(value, "fail") == 0) {
        failing = 1;
    } else if (value && *value) {
        char *end;
        pinnedSeconds = strtoll(value, &end, 10);
        pinnedMicroseconds = *end == '.' ? strtol(end + 1, NULL, 10) : 0;
        pinned = 1;
    }
}

void clockShimSet(long long seconds, long microseconds) {
    pinnedSeconds = seconds;
    pinnedMicroseconds = microseconds;
    pinned = 1;
}

void clockShimFail(int fail) { failing = fail; }

void clockShimRelease(void) { pinned = 0; }

__attribute__((visibility("default"))) int gettimeofday(struct timeval *restrict tv, void *restrict tz) {
    (void)tz;
    if (failing) {
        errno = EFAULT;
        return -1;
    }
    if (pinned) {
        tv->tv_sec = (time_t)pinnedSeconds;
        tv->tv_usec = pinnedMicroseconds;
        return 0;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = now.tv_nsec / 1000;
    return 0;
}
