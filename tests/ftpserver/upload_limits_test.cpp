// The free-space reserve, on made-up file systems.
#include <errno.h>
#include <gtest/gtest.h>

#include <climits>

#include "files/UploadLimits.h"

using osprel::FreeSpaceReserve;
using osprel::roomAboveReserve;
using osprel::ServerConfig;
using osprel::UploadLimits;

namespace {

constexpr unsigned long long kMiB = 1ULL << 20;
constexpr unsigned long long kGiB = 1ULL << 30;

struct statvfs figures(unsigned long long totalBytes, unsigned long long freeBytes, unsigned long long inodes = 1000,
                       unsigned long long freeInodes = 1000) {
    struct statvfs result {};
    result.f_frsize = 4096;
    result.f_blocks = totalBytes / 4096;
    result.f_bavail = freeBytes / 4096;
    result.f_files = inodes;
    result.f_favail = freeInodes;
    return result;
}

// The file system the stand-in for fstatvfs shows; each look counted.
struct statvfs g_figures;
int g_looks = 0;

int lookAtFake(int, struct statvfs *result) {
    ++g_looks;
    *result = g_figures;
    return 0;
}

int lookFails(int, struct statvfs *) {
    errno = EIO;
    return -1;
}

ServerConfig limits(FreeSpaceReserve reserve) {
    ServerConfig config;
    config.minFree = reserve;
    return config;
}

}  // namespace

TEST(RoomAboveReserve, AShareOfTheFileSystemAtMostTheBytesGivenInBytesAndInodes) {
    const FreeSpaceReserve byDefault;  // 5%, at most 1 GiB
    struct Case {
        struct statvfs figures;
        FreeSpaceReserve reserve;
        unsigned long long bytes;
        unsigned long long inodes;
    };
    const Case cases[] = {
        // A small flash file system: 5% of 100 MiB kept, and 5% of its inodes.
        {figures(100 * kMiB, 50 * kMiB), byDefault, 45 * kMiB, 950},
        // A big disk: 1 GiB kept, not 5%, and a 1/1000 share of the inodes.
        {figures(1000 * kGiB, 10 * kGiB), byDefault, 9 * kGiB, 999},
        {figures(100 * kMiB, 4 * kMiB), byDefault, 0, 950},
        {figures(100 * kMiB, 50 * kMiB, 1000, 10), {50, ULLONG_MAX}, 0, 0},
        {figures(100 * kMiB, 50 * kMiB), {100, 10 * kMiB}, 40 * kMiB, 900},
        {figures(100 * kMiB, 50 * kMiB), {0, 0}, 50 * kMiB, 1000},
        // No inode figures (btrfs), no figures at all: no limit of ours.
        {figures(100 * kMiB, 50 * kMiB, 0, 0), byDefault, 45 * kMiB, ULLONG_MAX},
        {figures(0, 0, 0, 0), byDefault, ULLONG_MAX, ULLONG_MAX},
    };
    for (const Case &one : cases) {
        osprel::RoomAboveReserve room = roomAboveReserve(one.figures, one.reserve);
        EXPECT_EQ(room.bytes, one.bytes) << one.figures.f_blocks << " " << one.reserve.percent;
        EXPECT_EQ(room.inodes, one.inodes) << one.figures.f_blocks << " " << one.reserve.percent;
    }
}

TEST(UploadLimits, AnUploadStopsBeforeCrossingTheReserveLookingAtLeastEvery8MiB) {
    g_figures = figures(1000 * kMiB, 100 * kMiB);  // 50 MiB above the 5% kept
    g_looks = 0;
    UploadLimits upload(limits({5, ULLONG_MAX}), 0, lookAtFake);
    for (int i = 0; i < 12; ++i) ASSERT_EQ(upload.admit(-1, kMiB), 0) << i;
    EXPECT_EQ(g_looks, 2);
    // Others fill the disk to the reserve: within 8 MiB of the last look the upload stops.
    g_figures = figures(1000 * kMiB, 50 * kMiB);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(upload.admit(-1, kMiB), 0) << i;
    EXPECT_EQ(upload.admit(-1, kMiB), ENOSPC);
    EXPECT_EQ(g_looks, 3);
    // A write that would cross the reserve is refused whole.
    g_figures = figures(1000 * kMiB, 50 * kMiB + 3 * 4096);
    EXPECT_EQ(UploadLimits(limits({5, ULLONG_MAX}), 0, lookAtFake).admit(-1, 4 * 4096), ENOSPC);
    EXPECT_EQ(UploadLimits(limits({5, ULLONG_MAX}), 0, lookAtFake).admit(-1, 3 * 4096), 0);
}

TEST(UploadLimits, NoUploadStartsWithoutAnInodeAboveTheReserve) {
    g_figures = figures(1000 * kMiB, 500 * kMiB, 1000, 51);  // 50 inodes kept
    EXPECT_EQ(UploadLimits(limits({5, ULLONG_MAX}), 0, lookAtFake).checkStart(-1, 0), 0);
    g_figures = figures(1000 * kMiB, 500 * kMiB, 1000, 50);
    EXPECT_EQ(UploadLimits(limits({5, ULLONG_MAX}), 0, lookAtFake).checkStart(-1, 0), ENOSPC);
}

TEST(UploadLimits, AFailedLookStopsAnUploadOnlyWhileAReserveIsKept) {
    EXPECT_EQ(UploadLimits(limits({5, ULLONG_MAX}), 0, lookFails).checkStart(-1, 0), EIO);
    EXPECT_EQ(UploadLimits(limits({0, 0}), 0, lookFails).checkStart(-1, 0), 0);
}
