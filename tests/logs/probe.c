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
 *               running after 5 s is killed and the probe exits 5
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
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "quillon.h"

static int probeModule;
static int oddModule;
static int calls;
static int failed;
static volatile int busyStop;

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

struct ThreadLines {
    int thread;
    int count;
};

static void *logThreadLines(void *argument) {
    const struct ThreadLines *lines = argument;
    char text[64];
    for (int line = 0; line < lines->count; line++) {
        snprintf(text, sizeof text, "thread %d line %d", lines->thread, line);
        logChecked(line % 10 ? probeModule : oddModule, line % 6 + 1, text);
    }
    return NULL;
}

static void logFromThreads(int threads, int count) {
    pthread_t ids[16];
    struct ThreadLines lines[16];
    for (int t = 0; t < threads && t < 16; t++) {
        lines[t] = (struct ThreadLines){t, count};
        pthread_create(&ids[t], NULL, logThreadLines, &lines[t]);
    }
    for (int t = 0; t < threads && t < 16; t++) pthread_join(ids[t], NULL);
}

static void *logBusy(void *unused) {
    (void)unused;
    while (!__atomic_load_n(&busyStop, __ATOMIC_RELAXED)) logChecked(probeModule, 5, "busy");
    return NULL;
}

static void forkThenExit(int children) {
    for (int i = 0; i < children; i++) {
        pid_t child = fork();
        if (child == 0) exit(0);
        waitpid(child, NULL, 0);
    }
}

/* Returns 0, or 5 when a child hung. */
static int forkWhileBusy(int children) {
    pthread_t busy[2];
    pid_t pids[256];
    for (int i = 0; i < 2; i++) pthread_create(&busy[i], NULL, logBusy, NULL);
    for (int i = 0; i < children && i < 256; i++) {
        pids[i] = fork();
        if (pids[i] == 0) {
            char text[32];
            snprintf(text, sizeof text, "child %d", i);
            logChecked(probeModule, 4, text);
            _exit(0);
        }
    }
    int hung = 0;
    time_t deadline = time(NULL) + 5;
    for (int i = 0; i < children && i < 256; i++) {
        pid_t done;
        while ((done = waitpid(pids[i], NULL, WNOHANG)) == 0 && time(NULL) < deadline) usleep(1000);
        if (done == 0) {
            kill(pids[i], SIGKILL);
            waitpid(pids[i], NULL, 0);
            hung++;
        }
    }
    __atomic_store_n(&busyStop, 1, __ATOMIC_RELAXED);
    for (int i = 0; i < 2; i++) pthread_join(busy[i], NULL);
    if (hung) fprintf(stderr, "probe: %d of %d children hung\n", hung, children);
    return hung ? 5 : 0;
}

static void makePipeSignalPending(void) {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, NULL);
    raise(SIGPIPE);
}

/* Runs one argument; returns non-zero to stop with that status. */
static int runArgument(const char *arg) {
    int first, second;
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
    } else if (sscanf(arg, "threads:%d:%d", &first, &second) == 2) {
        logFromThreads(first, second);
    } else if (sscanf(arg, "fork:%d", &first) == 1) {
        forkThenExit(first);
    } else if (sscanf(arg, "busyfork:%d", &first) == 1) {
        return forkWhileBusy(first);
    } else if (strcmp(arg, "pending") == 0) {
        makePipeSignalPending();
    } else if (strcmp(arg, "noeth0") == 0) {
        if (unshare(CLONE_NEWNET) != 0) return 4;
    } else if (strcmp(arg, "nofds") == 0) {
        struct rlimit none = {0, 0};
        getrlimit(RLIMIT_NOFILE, &none);
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
    for (int i = 1; i < argc; i++) {
        int status = runArgument(argv[i]);
        if (status != 0) return status;
    }
    return 0;
}
