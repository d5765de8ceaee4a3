// A host of the tests that holds its FTP server through osprel.h's host
// interface, driven by tests/ftpserver/e2e/test_host_interface.py.
//
//   osprel_embedding_host [NAME=VALUE ...]
//       Sets each setting (a refusal prints "refused\tREASON" and exits 2),
//       creates the server ("create failed\tREASON", exit 1), prints
//       "port\tN", runs it on a thread of its own and prints every event as
//       "event\tTYPE\tCOMPLETE\tSESSION\tBYTES\tDROPPED\tUSER\tADDRESS\tPATH\tTARGET".
//       Standard input takes "stop MS", "stats", "hold" and "take"; once the run is over it
//       prints "ran\tRESULT", the events left and the counters, then what
//       the kernel says of the thread that ran it ("caller\tNoNewPrivs:\tN\t
//       Seccomp:\tN", read from a file outside the root), destroys the
//       server and exits.
//   osprel_embedding_host --find PORT
//       Runs ServerMain(-c PORT -d 34567) from the environment on a thread,
//       finds its server with FtpServerFind, and serves standard input as
//       above; "ran" gives ServerMain's result.
//   osprel_embedding_host --cycles N
//       N times: create (kernel-picked ports), run, a client that waits
//       for its 421, stop, destroy; prints the threads and descriptors of
//       the process after the first and the last, and the cycles that
//       failed ("cycles\tTHREADS\tTHREADS\tFDS\tFDS\tFAILED").
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "osprel.h"

namespace {

const char *const kTypes[] = {"?", "LOGIN", "LOGIN_FAILED", "LOGOUT", "DOWNLOAD", "UPLOAD",
                              "DELETE", "RENAME", "MKDIR", "RMDIR"};

void printEvent(const FtpServerEvent &event) {
    printf("event\t%s\t%d\t%llu\t%llu\t%llu\t%s\t%s\t%s\t%s\n", kTypes[event.type], event.complete, event.session,
           event.bytes, event.dropped, event.user, event.address, event.path, event.target);
}

void printStats(FtpServer *server) {
    FtpServerStats stats;
    if (FtpServerGetStats(server, &stats, sizeof stats) != 0) return;
    printf("stats\t%llu\t%llu\t%llu\t%llu\t%llu\t%llu\t%llu\t%llu\t%llu\t%llu\t%llu\t%llu\n", stats.sessionsNow,
           stats.sessionsTotal, stats.sessionsRefused, stats.loginsOk, stats.loginsFailed, stats.downloadsComplete,
           stats.downloadsCut, stats.uploadsComplete, stats.uploadsCut, stats.bytesSent, stats.bytesReceived,
           stats.eventsDropped);
}

void printEvents(FtpServer *server) {
    while (const FtpServerEvent *event = FtpServerNextEvent(server)) printEvent(*event);
}

// One command from standard input; false at its end.  "hold" leaves
// events waiting until "take".
bool obey(FtpServer *server, bool *holding) {
    char line[64];
    if (fgets(line, sizeof line, stdin) == nullptr) return false;
    int drain = 0;
    if (sscanf(line, "stop %d", &drain) == 1)
        FtpServerStop(server, drain);
    else if (strcmp(line, "stats\n") == 0)
        printStats(server);
    else
        *holding = strcmp(line, "hold\n") == 0;
    return true;
}

// Events and commands until the run is over (`over` readable), then what
// is left.
void serve(FtpServer *server, int over, const std::atomic<int> &result) {
    pollfd fds[3] = {{-1, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}, {over, POLLIN, 0}};
    bool holding = false;
    while (fds[2].revents == 0) {
        fds[0].fd = holding ? -1 : FtpServerEventFd(server);
        if (poll(fds, 3, -1) < 0) continue;
        if (fds[0].revents & POLLIN) printEvents(server);
        if ((fds[1].revents & (POLLIN | POLLHUP)) && !obey(server, &holding)) fds[1].fd = -1;
    }
    printf("ran\t%d\n", result.load());
    printEvents(server);
    printStats(server);
}

// The calling thread's no_new_privs and seccomp lines of /proc, tab-split.
std::string confinementOfThisThread() {
    FILE *status = fopen("/proc/thread-self/status", "r");
    if (status == nullptr) return std::string("unreadable\t") + strerror(errno);
    std::string found;
    char line[256];
    while (fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, "NoNewPrivs:", 11) == 0 || strncmp(line, "Seccomp:", 8) == 0)
            found += (found.empty() ? "" : "\t") + std::string(line, strcspn(line, "\n"));
    }
    fclose(status);
    return found;
}

int holdServer(int argc, char **argv) {
    FtpSettings *settings = FtpSettingsCreate();
    char error[256];
    for (int i = 1; i < argc; ++i) {
        std::string setting = argv[i];
        size_t equals = setting.find('=');
        std::string name = setting.substr(0, equals);
        const char *value = equals == std::string::npos ? nullptr : argv[i] + equals + 1;
        if (FtpSettingsSet(settings, name.c_str(), value, error, sizeof error) != 0) {
            printf("refused\t%s\n", error);
            FtpSettingsDestroy(settings);
            return 2;
        }
    }
    FtpServer *server = FtpServerCreate(settings, error, sizeof error);
    FtpSettingsDestroy(settings);
    if (server == nullptr) {
        printf("create failed\t%s\n", error);
        return 1;
    }
    FtpServerEventFd(server);
    printf("port\t%d\n", FtpServerControlPort(server));
    int over[2];
    if (pipe(over) != 0) return 1;
    std::atomic<int> result{-2};
    std::string callerAfter;
    std::thread runner([&] {
        result = FtpServerRun(server);
        callerAfter = confinementOfThisThread();
        close(over[1]);
    });
    serve(server, over[0], result);
    runner.join();
    printf("caller\t%s\n", callerAfter.c_str());
    FtpServerDestroy(server);
    return 0;
}

int findServerMain(const char *port) {
    int over[2];
    if (pipe(over) != 0) return 1;
    std::atomic<int> result{-2};
    std::thread runner([&] {
        const char *arguments[] = {"monitor.elf", "-c", port, "-d", "34567"};
        result = ServerMain(5, const_cast<char **>(arguments));
        close(over[1]);
    });
    FtpServer *server = nullptr;
    while ((server = FtpServerFind(atoi(port))) == nullptr) usleep(10000);
    printf("found\t%d\n", FtpServerControlPort(server));
    serve(server, over[0], result);
    runner.join();
    // No longer found, but still there for whoever found it, and still not
    // the host's to free.
    FtpServerDestroy(server);
    printf("found after\t%d\n", FtpServerFind(atoi(port)) != nullptr);
    printStats(server);
    return 0;
}

int countEntries(const char *directory) {
    int count = 0;
    DIR *listing = opendir(directory);
    while (readdir(listing) != nullptr) ++count;
    closedir(listing);
    return count;
}

// The count once it holds still for 100 ms (at most 3 s): under an emulator
// a joined thread's host thread may outlive the join by a moment, while a
// thread left behind stays.
int settledCount(const char *directory) {
    int count = countEntries(directory);
    for (int tries = 0; tries < 30; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        int now = countEntries(directory);
        if (now == count) break;
        count = now;
    }
    return count;
}

// Connects and waits for the greeting, so the stop finds a session.
int greetedClient(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char greeting[64];
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        recv(fd, greeting, sizeof greeting, 0) <= 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int cycle(FtpSettings *settings) {
    char error[256];
    FtpServer *server = FtpServerCreate(settings, error, sizeof error);
    if (server == nullptr) {
        printf("create failed\t%s\n", error);
        return -1;
    }
    FtpServerEventFd(server);
    std::thread runner([server] { FtpServerRun(server); });
    int client = greetedClient(FtpServerControlPort(server));
    FtpServerStop(server, 1000);
    char reply[64] = "";
    ssize_t got = client >= 0 ? recv(client, reply, sizeof reply - 1, 0) : -1;
    if (client >= 0) close(client);
    runner.join();
    FtpServerDestroy(server);
    return got > 0 && strcmp(reply, "421 Server shutting down.\r\n") == 0 ? 0 : -1;
}

int cycles(int count) {
    FtpSettings *settings = FtpSettingsCreate();
    // The settings are the caller's environment's, ports aside.
    char error[256];
    if (FtpSettingsFromEnvironment(settings, error, sizeof error) != 0) {
        printf("refused\t%s\n", error);
        FtpSettingsDestroy(settings);
        return 2;
    }
    // Counted after a first cycle: a sanitizer's runtime starts a thread of
    // its own once the process has a second one.
    int failed = cycle(settings) != 0;
    int threads = settledCount("/proc/self/task");
    int fds = settledCount("/proc/self/fd");
    for (int i = 1; i < count; ++i) failed += cycle(settings) != 0;
    FtpSettingsDestroy(settings);
    printf("cycles\t%d\t%d\t%d\t%d\t%d\n", threads, settledCount("/proc/self/task"), fds,
           settledCount("/proc/self/fd"), failed);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 3 && strcmp(argv[1], "--find") == 0) return findServerMain(argv[2]);
    if (argc == 3 && strcmp(argv[1], "--cycles") == 0) return cycles(atoi(argv[2]));
    return holdServer(argc, argv);
}
