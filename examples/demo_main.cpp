// quillon-demo: a host application of libquillon, libcarrowen, libtrevant
// and libosprel.  It registers a module of its own, starts the message and
// monitor libraries, runs 64-byte records from producer threads to a
// consumer's poll loop while the monitor's FTP server serves a directory
// (its events logged from the same loop), and stops cleanly on Ctrl-C or
// SIGTERM, the FTP server with a drain, with a one-line summary.
#include "demo_log.h"
#include "ftp_events.h"
#include "message_road.h"
#include "served_directory.h"

#include <carrowen.h>
#include <trevant.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

int g_demoModule = -1;

static int g_demoLogLevel = DEMO_LOG_LEVEL;

namespace {

constexpr char kProgram[] = "quillon-demo";
// The module's log type: error codes 133 (Fatal) to 138 (Debug).
constexpr unsigned kDemoLogType = 4;

void PrintUsage(FILE *stream) {
    fprintf(stream,
            "usage: %s [-p PRODUCERS] [-i INTERVAL_MS] [-r REPORT_SECONDS]\n"
            "  -p  producer threads, 1-64 (default 2)\n"
            "  -i  pause between one producer's records in ms, 1-60000 (default 100)\n"
            "  -r  seconds between progress lines, 1-3600 (default 5)\n"
            "The monitor's FTP server serves OSPREL_FTP_ROOT, by default\n"
            "$XDG_DATA_HOME/quillon-demo/ftp (created when missing), on 127.0.0.1:3456.\n"
            "Ctrl-C or SIGTERM stops the program.\n",
            kProgram);
}

bool ParseNumber(const char *text, unsigned lowest, unsigned highest, unsigned *value) {
    char *end = nullptr;
    errno = 0;
    unsigned long parsed = strtoul(text, &end, 10);
    if (errno || end == text || *end || text[0] == '-' || parsed < lowest || parsed > highest) return false;
    *value = unsigned(parsed);
    return true;
}

// Returns 0 to run, or the exit status.
int ParseOptions(int argc, char **argv, RoadSettings *settings) {
    int option;
    while ((option = getopt(argc, argv, "p:i:r:h")) != -1) {
        bool valid = true;
        switch (option) {
        case 'p': valid = ParseNumber(optarg, 1, 64, &settings->producers); break;
        case 'i': valid = ParseNumber(optarg, 1, 60000, &settings->intervalMs); break;
        case 'r': valid = ParseNumber(optarg, 1, 3600, &settings->reportSeconds); break;
        case 'h': PrintUsage(stdout); return -1;
        default: PrintUsage(stderr); return 2;
        }
        if (!valid) {
            fprintf(stderr, "%s: -%c: [%s] is out of range\n", kProgram, option, optarg);
            PrintUsage(stderr);
            return 2;
        }
    }
    if (optind < argc) {
        fprintf(stderr, "%s: unexpected argument [%s]\n", kProgram, argv[optind]);
        PrintUsage(stderr);
        return 2;
    }
    return 0;
}

// The stop signals are blocked in every thread (threads inherit the mask)
// and read from a descriptor in the consumer's poll loop, so no work happens
// in a signal handler.  Blocked, they also leave InitMonitor's 6 s pause
// alone: a Ctrl-C during start-up takes effect once the road is running.
int BlockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) return -1;
    return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

bool ServeDirectory(ServedDirectory *served) {
    std::string error;
    if (PrepareServedDirectory(served, &error)) return true;
    DEMO_LOG(g_demoLogLevel, QUILLON_FATAL, "FTP directory: %s.\n", error.c_str());
    return false;
}

void StartMonitor(const ServedDirectory &served) {
    DEMO_LOG(g_demoLogLevel, QUILLON_INFO, "FTP server will serve [%s]%s; start-up pauses 6 s.\n",
             served.path.c_str(),
             served.fromEnvironment ? " (OSPREL_FTP_ROOT)" : served.created ? " (created)" : "");
    InitMonitor();
    std::string host = FtpClientHost();
    std::string error;
    if (ProbeFtpServer(host, kFtpControlPort, &error)) {
        // The server accepts one login when the user and a password (or its
        // hash) are set, the accounts file's, or any.
        const char *user = getenv("OSPREL_FTP_USER");
        bool oneLogin = user && (getenv("OSPREL_FTP_PASSWORD") || getenv("OSPREL_FTP_PASSWORD_HASH"));
        const char *who = oneLogin                          ? "OSPREL_FTP_USER's login"
                          : getenv("OSPREL_FTP_USERS_FILE") ? "an account of OSPREL_FTP_USERS_FILE"
                                                            : "any user name and password";
        std::string login = oneLogin ? std::string("-u ") + user + " " : "";
        // Over TLS (make run TLS=1) the client asks for it and trusts the certificate.
        const char *certificate = getenv("OSPREL_FTP_TLS_CERT");
        const char *tlsMode = getenv("OSPREL_FTP_TLS");
        bool tls = certificate && *certificate && !(tlsMode && strcmp(tlsMode, "off") == 0);
        std::string tlsOptions = tls ? std::string("--ssl-reqd --cacert ") + certificate + " " : "";
        DEMO_LOG(g_demoLogLevel, QUILLON_INFO, "FTP server ready: try  curl %s%sftp://%s:%d/  (%s).\n",
                 tlsOptions.c_str(), login.c_str(), host.c_str(), kFtpControlPort, who);
    } else {
        DEMO_LOG(g_demoLogLevel, QUILLON_WARNING,
                 "FTP server is not answering on [%s:%d]: %s; see its message on standard error.\n", host.c_str(),
                 kFtpControlPort, error.c_str());
    }
}

void PrintSummary(const RoadTotals &totals, const FtpServer *ftp) {
    std::string stoppedBy = totals.stopSignal ? std::string("SIG") + sigabbrev_np(totals.stopSignal) : "an error";
    printf("%s: stopped by %s after %.1f s: %llu messages passed, %llu sent, %llu out of order, "
           "%llu enqueues failed%s\n",
           kProgram, stoppedBy.c_str(), totals.seconds, (unsigned long long)totals.passed,
           (unsigned long long)totals.sent, (unsigned long long)totals.outOfOrder,
           (unsigned long long)totals.enqueueFailures, FtpSummary(ftp).c_str());
}

bool RoadWasSound(const RoadTotals &totals) {
    return totals.stopSignal && totals.passed == totals.sent && totals.outOfOrder == 0 &&
           totals.dequeueFailures == 0;
}

int RunDemo(const RoadSettings &settings, int signalFd) {
    g_demoModule = registerModule("demo", "5325", kDemoLogType);
    ServedDirectory served;
    if (!ServeDirectory(&served)) return 1;
    InitMessage();
    MessageQueue *queue = MessageQueueCreate(kRecordSize);
    if (!queue) {
        DEMO_LOG(g_demoLogLevel, QUILLON_FATAL, "cannot create a queue of [%d]-byte records.\n", kRecordSize);
        return 1;
    }
    StartMonitor(served);
    FtpServer *ftp = WatchFtpServer(kFtpControlPort);
    DEMO_LOG(g_demoLogLevel, QUILLON_INFO,
             "road open: [%u] producers, a [%d]-byte record every [%u] ms each; Ctrl-C or SIGTERM stops.\n",
             settings.producers, kRecordSize, settings.intervalMs);
    RoadTotals totals;
    bool ran = RunMessageRoad(queue, settings, signalFd, ftp, &totals);
    MessageQueueDelete(queue);
    if (ftp) FinishFtpServer(ftp, kFtpControlPort);
    if (!ran) return 1;
    PrintSummary(totals, ftp);
    return RoadWasSound(totals) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    // Log lines go to standard output; keep them flowing through a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    RoadSettings settings;
    int status = ParseOptions(argc, argv, &settings);
    if (status) return status < 0 ? 0 : status;
    int signalFd = BlockStopSignals();
    if (signalFd < 0) {
        fprintf(stderr, "%s: cannot take over the stop signals: %s\n", kProgram, strerror(errno));
        return 1;
    }
    status = RunDemo(settings, signalFd);
    fflush(stdout);
    fflush(stderr);
    // The monitor's task thread may still be on its way out of ServerMain
    // (or serving, if the road failed): leave without running destructors
    // underneath it.
    _exit(status);
}
