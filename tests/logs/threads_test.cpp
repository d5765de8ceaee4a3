// Many threads logging at once: every line whole, nothing lost or mixed.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "pinned_host.h"
#include "quillon.h"

namespace {

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 1500;

std::string payload(int thread, int sequence) {
    // Lengths vary from line to line so a torn write cannot line up by chance.
    return "thread " + std::to_string(thread) + " line " + std::to_string(sequence) + " " +
           std::string((size_t)(sequence * 7 + thread) % 300, (char)('a' + thread));
}

TEST(Threads, EveryLineComesOutWholeAndInOrderPerThread) {
    const int module = registerModule("threads", "77", 8);
    ASSERT_EQ(module, 0);
    CapturedFd out(1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t, module] {
            for (int i = 0; i < kLinesPerThread; i++)
                logVerboseCStyle("/src/worker.c", t, "work", module, 5, "%s\n", payload(t, i).c_str());
        });
    }
    for (auto &thread : threads) thread.join();
    std::istringstream lines(out.take());

    const std::string prefix = PINNED_TIME_GROUP PINNED_HOST_GROUP "[0.0.0:77][threads] <<169>> [src/worker.c:";
    std::vector<int> next(kThreads, 0);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        count++;
        int thread = -1, sequence = -1;
        ASSERT_EQ(2, sscanf(line.c_str() + prefix.size(), "%d][work:Verbose] : thread %*d line %d", &thread, &sequence))
            << line;
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << line;
        ASSERT_EQ(sequence, next[thread]) << "out of order or lost: " << line;
        ASSERT_EQ(line, prefix + std::to_string(thread) + "][work:Verbose] : " + payload(thread, sequence));
        next[thread]++;
    }
    EXPECT_EQ(count, kThreads * kLinesPerThread);
}

}  // namespace
