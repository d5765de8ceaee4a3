/* Preloaded into the server's process by the end-to-end confinement test.
 * On SIGUSR1 a host thread of this library tries what a server thread must
 * not do (and does a setuid and reads the local time), then the next time a
 * session reads its control connection, its thread tries the same.  Each result
 * goes as one line to the file OSPREL_PROBE_RESULTS: "host fork: ok",
 * "session fork: EPERM".  OSPREL_PROBE_OUTSIDE names a directory outside the
 * root holding a file "secret"; OSPREL_PROBE_PORT a port nobody binds. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int g_results = -1;
static int g_wake[2] = {-1, -1};
static atomic_int g_sessionArmed;

static void record(const char *who, const char *what, int error) {
    char line[256];
    int length = snprintf(line, sizeof line, "%s %s: %s\n", who, what, error == 0 ? "ok" : strerrorname_np(error));
    if (write(g_results, line, (size_t)length) != length) abort();
}

static int errorOf(int done) { return done ? 0 : errno; }

static int openOutside(void) {
    char path[512];
    snprintf(path, sizeof path, "%s/secret", getenv("OSPREL_PROBE_OUTSIDE"));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) close(fd);
    return errorOf(fd >= 0);
}

static int createOutside(const char *who) {
    char path[512];
    snprintf(path, sizeof path, "%s/made-by-%s", getenv("OSPREL_PROBE_OUTSIDE"), who);
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) close(fd);
    return errorOf(fd >= 0);
}

static int bindAnotherPort(void) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(getenv("OSPREL_PROBE_PORT"))),
                                  .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    int error = errorOf(bind(fd, (struct sockaddr *)&address, sizeof address) == 0);
    close(fd);
    return error;
}

/* Without this library (nor a sanitizer's runtime) in the program. */
static char *const g_noEnvironment[] = {NULL};

/* The child runs `program` (or just ends): a server thread gets no child. */
static int forkAnd(const char *program) {
    pid_t child = fork();
    if (child < 0) return errno;
    if (child == 0) {
        if (program != NULL) execle(program, program, (char *)NULL, g_noEnvironment);
        _exit(program == NULL ? 0 : 127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return errno;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : ECHILD;
}

static void tryEverything(const char *who, int exec) {
    record(who, "open a file outside the root", openOutside());
    record(who, "create a file outside the root", createOutside(who));
    record(who, "bind another port", bindAnotherPort());
    record(who, "signal another process", errorOf(kill(getppid(), 0) == 0));
    record(who, "fork", forkAnd(NULL));
    if (exec) {
        /* In the session's own thread: were it allowed, the server would be gone. */
        execle("/bin/true", "true", (char *)NULL, g_noEnvironment);
        record(who, "exec a program", errno);
    } else {
        record(who, "exec a program", forkAnd("/bin/true"));
    }
}

static void *hostThread(void *unused) {
    (void)unused;
    char byte;
    while (read(g_wake[0], &byte, 1) == 1) {
        tryEverything("host", 0);
        record("host", "setuid during a session", errorOf(setuid(getuid()) == 0));
        /* The zone's offset in November 2023, as the host sees it now. */
        time_t when = 1700000000;
        struct tm local;
        char offset[16] = "?";
        if (localtime_r(&when, &local) != NULL) strftime(offset, sizeof offset, "%z", &local);
        char line[64];
        int length = snprintf(line, sizeof line, "host time zone: %s\n", offset);
        if (write(g_results, line, (size_t)length) != length) abort();
        atomic_store(&g_sessionArmed, 1);
    }
    return NULL;
}

static void wake(int signal) {
    (void)signal;
    int saved = errno;
    if (write(g_wake[1], "w", 1) != 1) abort();
    errno = saved;
}

__attribute__((constructor)) static void start(void) {
    const char *results = getenv("OSPREL_PROBE_RESULTS");
    if (results == NULL) return;
    g_results = open(results, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (g_results < 0 || pipe2(g_wake, O_CLOEXEC) != 0) abort();
    pthread_t thread;
    if (pthread_create(&thread, NULL, hostThread, NULL) != 0) abort();
    signal(SIGUSR1, wake);
}

__attribute__((visibility("default"))) ssize_t recv(int fd, void *buffer, size_t size, int flags) {
    static ssize_t (*next)(int, void *, size_t, int);
    if (next == NULL) next = (ssize_t(*)(int, void *, size_t, int))dlsym(RTLD_NEXT, "recv");
    if (atomic_exchange(&g_sessionArmed, 0)) tryEverything("session", 1);
    return next(fd, buffer, size, flags);
}
