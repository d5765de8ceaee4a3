// Lines per second through logVerboseCStyle, beside a floor measured in the
// same run: a loop doing only the work every line needs (clock and local
// time, datagram socket, two interface queries, close, host-name query,
// formatting, one stdio write).  Standard output goes to /dev/null; the
// figures go to the original standard output.
//
//   log_bench [seconds-per-round]      (run it where eth0 exists)

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "quillon.h"

namespace {

int g_module;

void floorLine(int sequence) {
    struct timeval now;
    struct tm local;
    gettimeofday(&now, nullptr);
    localtime_r(&now.tv_sec, &local);

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, "eth0", IFNAMSIZ - 1);
    ioctl(fd, SIOCGIFHWADDR, &request);
    ioctl(fd, SIOCGIFADDR, &request);
    char address[18];
    inet_ntop(AF_INET, &((struct sockaddr_in *)(void *)&request.ifr_addr)->sin_addr, address, sizeof address);
    close(fd);
    char host[32] = {0};
    gethostname(host, sizeof host);

    char line[1024];
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int length = snprintf(line, sizeof line,
                          "[%s-%02d-%04d, %s][%02d:%02d:%02d.%03d] [%s][%s] [%d.%d.%d:%s][%s] <<%d>> "
                          "[%s:%d][%s:%s] : bench line %d\n",
                          months[local.tm_mon], local.tm_mday, local.tm_year + 1900, "Thur.", local.tm_hour,
                          local.tm_min, local.tm_sec, (int)(now.tv_usec / 1000), host, address, 0, 0, 0, "5325",
                          "bench", 120, "bench/logs/log_bench.cpp", 42, "run", "Info", sequence);
    fwrite(line, 1, (size_t)length, stdout);
}

void libraryLine(int sequence) {
    logVerboseCStyle("/bench/logs/log_bench.cpp", 42, "run", g_module, 4, "bench line %d\n", sequence);
}

// Lines per second of `threads` threads each running `line` for `seconds`.
double linesPerSecond(void (*line)(int), int threads, double seconds) {
    std::atomic<bool> stop{false};
    std::atomic<long> total{0};
    std::vector<std::thread> workers;
    auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&] {
            long count = 0;
            while (!stop.load(std::memory_order_relaxed)) line((int)count++);
            total += count;
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto &worker : workers) worker.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return (double)total / elapsed;
}

// Best of several alternating rounds, so drift hits both sides alike.
void compare(int threads, double seconds, double *floorRate, double *libraryRate) {
    *floorRate = *libraryRate = 0;
    for (int round = 0; round < 5; round++) {
        *floorRate = std::max(*floorRate, linesPerSecond(floorLine, threads, seconds));
        *libraryRate = std::max(*libraryRate, linesPerSecond(libraryLine, threads, seconds));
    }
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 0.5;
    FILE *report = fdopen(dup(STDOUT_FILENO), "w");
    if (report == nullptr || freopen("/dev/null", "w", stdout) == nullptr) return 1;
    setenv("NO_COLOR", "1", 1);
    g_module = registerModule("bench", "5325", 2);

    double floor1, lib1, floor2, lib2;
    compare(1, seconds, &floor1, &lib1);
    compare(2, seconds, &floor2, &lib2);

    fprintf(report, "libquillon: lines per second, standard output to /dev/null (best of 5 rounds of %.1f s)\n",
            seconds);
    fprintf(report, "%-8s %14s %16s %10s %11s %11s\n", "threads", "floor lines/s", "library lines/s", "floor ns",
            "library ns", "cost ratio");
    fprintf(report, "%-8d %14.0f %16.0f %10.0f %11.0f %10.3fx  (target <= 1.10x)\n", 1, floor1, lib1, 1e9 / floor1,
            1e9 / lib1, floor1 / lib1);
    fprintf(report, "%-8d %14.0f %16.0f %10.0f %11.0f %10.3fx\n", 2, floor2, lib2, 2e9 / floor2, 2e9 / lib2,
            floor2 / lib2);
    fprintf(report, "library scaling, 2 threads vs 1: %.2fx  (target >= 1.6x); floor scaling: %.2fx\n", lib2 / lib1,
            floor2 / floor1);
    return 0;
}
