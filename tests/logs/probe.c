/* quillon_probe: a fresh host process that logs what its arguments say, for
 * the tests of once-per-process behaviour and of what a log call may do to
 * its host.
 *   L:text      log "text\n" at level L from probe.c:1, function "main"
 *   +NAME=VALUE set an environment variable
 *   !NAME       unset one
 *   many:N      log "line K\n" at Info for K = 0 .. N-1
 *   threads:T:N T threads log N lines each, "thread T line K\n" at level
 *               K % 6 + 1; every tenth line through a module of log type 3
 *   fork:N      fork N children that exit() at once, and wait for them
 *   busyfork:N  two threads log without pause while N children are forked;
 *               each child logs "child K\n" and _exits.  A child still
 *               running after 5 s is ended and the probe exits 5
 *   pending     block SIGPIPE and raise it: pending from then on
 *   noeth0      move into a network namespace of its own, without eth0
 *   nofds       allow no further descriptor
 *   abort       abort()
 *   tally       print "N calls, M failed\n" on standard error
 * Every log call must leave errno, the signal mask, the SIGPIPE disposition
 * and SIGPIPE's pending state as they were; otherwise the probe exits 3. */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "quillon.h"

static int probeModule;
static int oddModule;
static int calls;
static int failed;
static volatile int busyStop;
static struct rlimit files; /* put back at exit, for the sanitizers' checks */

static int pipeSignalState(sigset_t *mask, struct sigaction *action) {
    sigset_t pending;
    pthread_sigmask(SIG_BLOCK, NULL, mask);
    sigaction(SIGPIPE, NULL, action);
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE);
}

static int sameSignals(const sigset_t *a, const sigset_t *b) {
    for (int signal = 1; signal < SIGRTMAX; signal++)
        if (sigismember(a, signal) != sigismember(b, signal)) return 0;
    return 1;
}

/* Logs "text\n"; exits 3 if the call changed what it must leave alone. */
static int logChecked(int module, int level, const char *text) {
    sigset_t maskBefore, maskAfter;
    struct sigaction actionBefore, actionAfter;
    int pendingBefore = pipeSignalState(&maskBefore, &actionBefore);
    errno = EACCES;
    int result = logVerboseCStyle("probe.c", 1, "main", module, level, "%s\n", text);
    int errnoAfter = errno;
    int pendingAfter = pipeSignalState(&maskAfter, &actionAfter);
    if (errnoAfter != EACCES || !sameSignals(&maskBefore, &maskAfter) ||
        actionBefore.sa_handler != actionAfter.sa_handler || pendingBefore != pendingAfter) {
        fprintf(stderr, "probe: a log call changed errno (to %d), the signal mask or SIGPIPE's state\n", errnoAfter);
        _exit(3);
    }
    __atomic_fetch_add(&calls, 1, __ATOMIC_RELAXED);
    if (result != 0) __atomic_fetch_add(&failed, 1, __ATOMIC_RELAXED);
    return result;
}

static int threadLines;

static void *logThreadLines(void *thread) {
    char text[64];
    for (int line = 0; line < threadLines; line++) {
        snprintf(text, sizeof text, "thread %d line %d", (int)(intptr_t)thread, line);
        logChecked(line % 10 ? probeModule : oddModule, line % 6 + 1, text);
    }
    return NULL;
}

static void *logBusy(void *unused) {
    (void)unused;
    while (!__atomic_load_n(&busyStop, __ATOMIC_RELAXED)) logChecked(probeModule, 5, "busy");
    return NULL;
}

/* Starts `count` threads running `body`, or joins them. */
static void threads(pthread_t *ids, int count, void *(*body)(void *)) {
    for (int t = 0; t < count; t++) {
        if (body) pthread_create(&ids[t], NULL, body, (void *)(intptr_t)t);
        else pthread_join(ids[t], NULL);
    }
}

/* Returns 0, or 5 when a child hung: its alarm ends it after 5 s. */
static int forkChildren(int children, int logAndWait) {
    int hung = 0;
    pid_t pids[256];
    for (int i = 0; i < children && i < 256; i++) {
        if ((pids[i] = fork()) != 0) continue;
        if (!logAndWait) exit(0);
        char text[32];
        snprintf(text, sizeof text, "child %d", i);
        alarm(5);
        logChecked(probeModule, 4, text);
        _exit(0);
    }
    for (int i = 0; i < children && i < 256; i++) {
        int status = 0;
        waitpid(pids[i], &status, 0);
        hung += !WIFEXITED(status);
    }
    if (hung) fprintf(stderr, "probe: %d of %d children hung\n", hung, children);
    return hung ? 5 : 0;
}

static int forkWhileBusy(int children) {
    pthread_t busy[2];
    threads(busy, 2, logBusy);
    int status = forkChildren(children, 1);
    __atomic_store_n(&busyStop, 1, __ATOMIC_RELAXED);
    threads(busy, 2, NULL);
    return status;
}

/* Runs one argument; returns non-zero to stop with that status. */
static int runArgument(const char *arg) {
    int first;
    if (arg[0] == '+') {
        char *assignment = strdup(arg + 1);
        char *equals = strchr(assignment, '=');
        if (equals == NULL) return 2;
        *equals = '\0';
        setenv(assignment, equals + 1, 1);
        free(assignment);
    } else if (arg[0] == '!') {
        unsetenv(arg + 1);
    } else if (sscanf(arg, "many:%d", &first) == 1) {
        char text[32];
        for (int i = 0; i < first; i++) {
            snprintf(text, sizeof text, "line %d", i);
            logChecked(probeModule, 4, text);
        }
    } else if (sscanf(arg, "threads:%d:%d", &first, &threadLines) == 2 && first <= 16) {
        pthread_t ids[16];
        threads(ids, first, logThreadLines);
        threads(ids, first, NULL);
    } else if (sscanf(arg, "fork:%d", &first) == 1) {
        forkChildren(first, 0);
    } else if (sscanf(arg, "busyfork:%d", &first) == 1) {
        return forkWhileBusy(first);
    } else if (strcmp(arg, "pending") == 0) {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly, NULL);
        raise(SIGPIPE);
    } else if (strcmp(arg, "noeth0") == 0) {
        if (unshare(CLONE_NEWNET) != 0) return 4;
    } else if (strcmp(arg, "nofds") == 0) {
        struct rlimit none = files;
        none.rlim_cur = 0;
        setrlimit(RLIMIT_NOFILE, &none);
    } else if (strcmp(arg, "abort") == 0) {
        abort();
    } else if (strcmp(arg, "tally") == 0) {
        fprintf(stderr, "%d calls, %d failed\n", calls, failed);
    } else {
        char *colon;
        long level = strtol(arg, &colon, 10);
        if (*colon != ':') return 2;
        logChecked(probeModule, (int)level, colon + 1);
    }
    return 0;
}

int main(int argc, char **argv) {
    probeModule = registerModule("probe", "9", 2);
    oddModule = registerModule("odd", "9", 3);
    getrlimit(RLIMIT_NOFILE, &files);
    int status = 0;
    for (int i = 1; i < argc && status == 0; i++) status = runArgument(argv[i]);
    setrlimit(RLIMIT_NOFILE, &files);
    return status;
}
