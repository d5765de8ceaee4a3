// Runs the FTP server from the command line, for the benchmark:
//   osprel_bench_host -c PORT -d PORT
//       ServerMain, as the monitor runs it;
//   osprel_bench_host --hold|--hold-events -c PORT -d PORT
//       a server held through the host interface: the settings from the
//       environment, the ports from the command line; with --hold-events the
//       host takes every event in its poll loop (and counts them).
// Runs until killed.
#include <poll.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <thread>

#include "osprel.h"

namespace {

int hold(bool takeEvents, const char *controlPort, const char *passivePort) {
    char error[256];
    FtpSettings *settings = FtpSettingsCreate();
    if (FtpSettingsFromEnvironment(settings, error, sizeof error) != 0 ||
        FtpSettingsSet(settings, "OSPREL_FTP_CONTROL_PORT", controlPort, error, sizeof error) != 0 ||
        FtpSettingsSet(settings, "OSPREL_FTP_PASSIVE_PORT", passivePort, error, sizeof error) != 0) {
        fprintf(stderr, "osprel_bench_host: %s\n", error);
        return 2;
    }
    FtpServer *server = FtpServerCreate(settings, error, sizeof error);
    FtpSettingsDestroy(settings);
    if (server == nullptr) {
        fprintf(stderr, "osprel_bench_host: %s\n", error);
        return 1;
    }
    std::thread runner([server] { FtpServerRun(server); });
    if (takeEvents) {
        unsigned long long taken = 0;
        pollfd entry{FtpServerEventFd(server), POLLIN, 0};
        for (;;) {
            poll(&entry, 1, -1);
            while (FtpServerNextEvent(server) != nullptr) ++taken;
        }
    }
    runner.join();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 6 && (strcmp(argv[1], "--hold") == 0 || strcmp(argv[1], "--hold-events") == 0))
        return hold(strcmp(argv[1], "--hold-events") == 0, argv[3], argv[5]);
    return ServerMain(argc, argv);
}
