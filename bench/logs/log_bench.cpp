// Lines per second through logVerboseCStyle, beside a floor measured in the
// same run, in alternating rounds: a loop doing only the work every line
// needs (clock and local time, datagram socket, two interface queries,
// close, host-name query, formatting, and one write(2) of the whole line, as
// every line must reach the kernel before the call returns).  Standard output
// goes to /dev/null; the figures go to the original standard output.
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
#include "../rounds.h"

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
    if (write(STDOUT_FILENO, line, (size_t)length) < 0) abort();
}

void libraryLine(int sequence) {
    logVerboseCStyle("/bench/logs/log_bench.cpp", 42, "run", g_module, 4, "bench line %d\n", sequence);
}

using bench::Rates;
using bench::secondsOn;

// One round of `threads` threads each running `line` for about `seconds`.
Rates measure(void (*line)(int), int threads, double seconds) {
    std::atomic<bool> stop{false};
    std::atomic<long> total{0};
    std::vector<std::thread> workers;
    double wallStart = secondsOn(CLOCK_MONOTONIC), cpuStart = secondsOn(CLOCK_PROCESS_CPUTIME_ID);
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
    double cpu = secondsOn(CLOCK_PROCESS_CPUTIME_ID) - cpuStart, wall = secondsOn(CLOCK_MONOTONIC) - wallStart;
    return Rates{(double)total / wall, (double)total / cpu};
}

struct Comparison {
    Rates floor;
    Rates library;
};

Comparison compare(int threads, int rounds, double seconds) {
    bench::Series floorRates, libraryRates;
    bench::alternateRounds(
        rounds, [&] { return measure(floorLine, threads, seconds); },
        [&] { return measure(libraryLine, threads, seconds); }, &floorRates, &libraryRates);
    return Comparison{floorRates.medians(), libraryRates.medians()};
}

void printRow(FILE *report, const char *what, double floorRate, double libraryRate) {
    fprintf(report, "%-34s %12.0f %14.0f %10.0f %11.0f %9.3fx\n", what, floorRate, libraryRate, 1e9 / floorRate,
            1e9 / libraryRate, floorRate / libraryRate);
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 0.5;
    int rounds = argc > 2 ? atoi(argv[2]) : 7;
    FILE *report = fdopen(dup(STDOUT_FILENO), "w");
    if (report == nullptr || freopen("/dev/null", "w", stdout) == nullptr) return 1;
    setenv("NO_COLOR", "1", 1);
    g_module = registerModule("bench", "5325", 2);

    Comparison one = compare(1, rounds, seconds);
    Comparison two = compare(2, rounds, seconds);

    fprintf(report, "libquillon: lines per second, standard output to /dev/null; medians of %d alternating rounds of %.1f s\n",
            rounds, seconds);
    fprintf(report, "%-34s %12s %14s %10s %11s %10s\n", "", "floor", "library", "floor ns", "library ns", "cost ratio");
    printRow(report, "1 thread, per CPU second", one.floor.cpu, one.library.cpu);
    printRow(report, "2 threads, per CPU second", two.floor.cpu, two.library.cpu);
    printRow(report, "1 thread, per wall second", one.floor.wall, one.library.wall);
    printRow(report, "2 threads, per wall second", two.floor.wall, two.library.wall);
    fprintf(report, "cost ratio, 1 thread (CPU): %.3fx  (target <= 1.10x)\n", one.floor.cpu / one.library.cpu);
    fprintf(report, "library scaling, 2 threads vs 1 (wall): %.2fx  (target >= 1.6x); floor scaling: %.2fx\n",
            two.library.wall / one.library.wall, two.floor.wall / one.floor.wall);
    return 0;
}
