// Rate caps on a clock of the test's own: sessions that take everything
// they are allowed, at the times they are told.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "transfer/RateLimit.h"

using osprel::Clock;
using osprel::RateLimit;
using osprel::TotalRate;
using std::chrono::milliseconds;

namespace {

constexpr long long kMiB = 1 << 20;
const Clock::time_point kStart = Clock::time_point() + std::chrono::hours(1);

// A session that moves everything it may as soon as it may, waking `late`
// after each time it is told to wait for.
struct Taker {
    RateLimit limit;
    Clock::duration late{};
    Clock::time_point wake = kStart;
    long long moved = 0;

    // Takes its turn at `wake`; true when bytes moved.
    bool turn() {
        Clock::time_point readyAt;
        size_t allowed = limit.allowance(wake, &readyAt);
        if (allowed == 0) {
            wake = readyAt + late;
            return false;
        }
        limit.moved(allowed);
        moved += static_cast<long long>(allowed);
        return true;
    }
};

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Runs a lone taker from its wake time until `end`: false when bytes ever
// went before the rate allowed them, counted from `start`.
bool neverAhead(Taker &taker, long long rate, Clock::time_point start, Clock::time_point end) {
    while (taker.wake < end)
        if (taker.turn() && taker.moved > rate * seconds(taker.wake - start)) return false;
    return true;
}

// Runs takers from kStart until `end`, the earliest to wake first (on a tie
// the first in the list, as if its thread always won): false when together
// they ever ran ahead of `total` by more than the piece an idle total lets go.
bool takeTurns(std::vector<Taker> &takers, long long total, Clock::time_point end) {
    for (Taker &taker : takers) taker.limit.begin(kStart);
    for (;;) {
        auto next = std::min_element(takers.begin(), takers.end(),
                                     [](const Taker &a, const Taker &b) { return a.wake < b.wake; });
        if (next->wake >= end) return true;
        next->turn();
        long long all = 0;
        for (const Taker &taker : takers) all += taker.moved;
        if (all > total * (seconds(next->wake - kStart) + seconds(RateLimit::kPieceTime))) return false;
    }
}

}  // namespace

TEST(RateLimit, WithoutCapsEverythingMayGo) {
    TotalRate uncapped(0);
    for (RateLimit limit : {RateLimit(0, nullptr), RateLimit(0, &uncapped)}) {
        Clock::time_point readyAt{};
        EXPECT_FALSE(limit.capped());
        EXPECT_EQ(limit.allowance(kStart, &readyAt), SIZE_MAX);
    }
}

TEST(RateLimit, ATransferNeverRunsAheadOfItsCapCatchesUpLateWakeUpsAndSavesNothingUpWhenIdle) {
    for (Clock::duration late : {Clock::duration(0), Clock::duration(milliseconds(7))}) {
        Taker taker{RateLimit(kMiB, nullptr), late};
        taker.limit.begin(kStart);
        EXPECT_TRUE(neverAhead(taker, kMiB, kStart, kStart + std::chrono::seconds(10)));
        EXPECT_GE(taker.moved, 0.99 * 10 * kMiB) << seconds(late);
        // Ten idle seconds later the next transfer starts from nothing.
        taker.limit.end();
        Clock::time_point next = taker.wake + std::chrono::seconds(10);
        taker.limit.begin(next);
        taker.wake = next;
        taker.moved = 0;
        EXPECT_TRUE(neverAhead(taker, kMiB, next, next + std::chrono::seconds(1)));
    }
}

TEST(RateLimit, SessionsShareTheTotalEvenlyEvenWhenOneAlwaysWakesFirst) {
    TotalRate total(2 * kMiB);
    std::vector<Taker> takers(3, Taker{RateLimit(0, &total)});
    EXPECT_TRUE(takeTurns(takers, 2 * kMiB, kStart + std::chrono::seconds(10)));
    for (const Taker &taker : takers) EXPECT_NEAR(taker.moved, 2 * kMiB * 10 / 3, 0.02 * 2 * kMiB * 10 / 3);
}

TEST(RateLimit, BothCapsTogetherTheLowerOneHolds) {
    // {each session's cap, the total}: two sessions get the session cap, or half the total.
    const std::pair<long long, long long> caps[] = {{kMiB / 2, 2 * kMiB}, {3 * kMiB / 4, kMiB}};
    for (const auto &[sessionCap, totalCap] : caps) {
        TotalRate total(totalCap);
        std::vector<Taker> takers(2, Taker{RateLimit(sessionCap, &total)});
        EXPECT_TRUE(takeTurns(takers, totalCap, kStart + std::chrono::seconds(10)));
        long long expected = std::min(sessionCap, totalCap / 2) * 10;
        for (const Taker &taker : takers) EXPECT_NEAR(taker.moved, expected, 0.02 * expected) << sessionCap;
    }
}

TEST(RateLimit, WhatATransferDidNotMoveGoesBackToTheCaps) {
    TotalRate total(kMiB);
    RateLimit first(0, &total);
    RateLimit second(0, &total);
    Clock::time_point readyAt{};
    // An idle total lets one piece go at once; the first transfer ends
    // without moving it, so the second may.
    size_t piece = first.allowance(kStart, &readyAt);
    ASSERT_GT(piece, 0u);
    first.end();
    EXPECT_EQ(second.allowance(kStart, &readyAt), piece);
    // The own cap: a transfer cut before its first piece went leaves the
    // next transfer's first time as it was.
    RateLimit own(kMiB, nullptr);
    own.begin(kStart);
    ASSERT_EQ(own.allowance(kStart, &readyAt), 0u);
    Clock::time_point firstDue = readyAt;
    own.end();
    own.begin(kStart);
    ASSERT_EQ(own.allowance(kStart, &readyAt), 0u);
    EXPECT_EQ(readyAt, firstDue);
}

TEST(RateLimit, TheTotalBooksEveryPieceOfManyThreads) {
    // 1 KiB lasts exactly 1 ms at this rate.
    TotalRate total(1024 * 1000);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&total] {
            for (int piece = 0; piece < 1000; ++piece) total.book(1024, kStart, Clock::duration(0));
        });
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(total.book(1024, kStart, Clock::duration(0)), kStart + milliseconds(4001));
}
