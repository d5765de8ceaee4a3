// What the benchmarks share: clocks in seconds, one round's rates, medians.
// Rates per second of CPU time leave out what other processes take from the
// machine, so they are the steadier measure of what the code costs; the wall
// clock shows scaling.
#pragma once

#include <time.h>

#include <algorithm>
#include <vector>

namespace bench {

inline double secondsOn(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

// Units of work per second of wall clock and per second of CPU time.
struct Rates {
    double wall;
    double cpu;
};

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Each round's rates, wall clock and CPU time apart.
struct Series {
    std::vector<double> wall;
    std::vector<double> cpu;
    void add(Rates rates) {
        wall.push_back(rates.wall);
        cpu.push_back(rates.cpu);
    }
    Rates medians() const { return Rates{median(wall), median(cpu)}; }
};

// Rounds of the baseline and the subject alternate, and so does which of the
// two goes first, so that drift and other load hit both alike.
template <typename Baseline, typename Subject>
void alternateRounds(int rounds, Baseline baseline, Subject subject, Series *baselineRates, Series *subjectRates) {
    for (int round = 0; round < rounds; round++) {
        if (round % 2 == 0) {
            baselineRates->add(baseline());
            subjectRates->add(subject());
        } else {
            subjectRates->add(subject());
            baselineRates->add(baseline());
        }
    }
}

}  // namespace bench
