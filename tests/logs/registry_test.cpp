// The module table: limits, bad arguments and concurrent registration.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "pinned_host.h"
#include "quillon.h"

namespace {

const std::string kPrefix = PINNED_TIME_GROUP PINNED_HOST_GROUP;

std::string lineFor(int module) {
    CapturedFd out(1);
    logVerboseCStyle("f", 1, "fn", module, 2, "m\n");
    return out.take();
}

// One sequence in one process: the table only ever fills.  A line logged
// while a row is being registered shows the row either free or complete.
TEST(Registry, FillsInOrderFromSeveralThreadsThenRefusesWithoutChange) {
    EXPECT_EQ(-1, registerModule(nullptr, "tag", 2));
    EXPECT_EQ(-1, registerModule("name", nullptr, 2));
    ASSERT_EQ(0, registerModule("first", "1", 2)) << "a refused registration must not take a row";

    std::vector<int> indexes(31);
    std::atomic<bool> registering{true};
    CapturedFd during(1);
    std::thread logger([&registering] {
        while (registering)
            for (int module = 1; module < 32; module++) logVerboseCStyle("f", 1, "fn", module, 2, "m\n");
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 31; t++) {
        threads.emplace_back([t, &indexes] {
            std::string name = "mod" + std::to_string(t);
            indexes[t] = registerModule(name.c_str(), "tag", 4);
        });
    }
    for (auto &thread : threads) thread.join();
    registering = false;
    logger.join();
    std::istringstream seen(during.take());
    for (std::string line; std::getline(seen, line);) {
        int name = -1;
        sscanf(line.c_str(), (kPrefix + "[0.0.0:tag][mod%d]").c_str(), &name);
        if (line != kPrefix + "[0.0.0:][0000000] [f:1][fn:Error!] : m") {
            ASSERT_EQ(line, kPrefix + "[0.0.0:tag][mod" + std::to_string(name) + "] <<134>> [f:1][fn:Error!] : m");
        }
    }
    std::vector<int> sorted = indexes;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < 31; i++) EXPECT_EQ(sorted[i], i + 1) << "every row handed out exactly once";

    for (int t = 0; t < 31; t++) {
        EXPECT_EQ(lineFor(indexes[t]), kPrefix + "[0.0.0:tag][mod" + std::to_string(t) +
                                           "] <<134>> [f:1][fn:Error!] : m\n");
    }

    EXPECT_EQ(-1, registerModule("33rd", "x", 2));
    EXPECT_EQ(-1, registerModule("34th", "y", 1));
    EXPECT_EQ(lineFor(0), kPrefix + "[0.0.0:1][first] <<118>> [f:1][fn:Error!] : m\n");
    EXPECT_EQ(lineFor(31), kPrefix + "[0.0.0:tag][mod" + std::to_string(std::find(indexes.begin(), indexes.end(), 31) -
                                                                       indexes.begin()) +
                               "] <<134>> [f:1][fn:Error!] : m\n");
    EXPECT_EQ(lineFor(-1), kPrefix + "[0.0.0:][f:1][fn:Error!] : m\n");
}

}  // namespace
