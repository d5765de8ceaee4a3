// The limits an upload must keep: the free-space reserve of the served file
// system (OSPREL_FTP_MIN_FREE) and the size cap (OSPREL_FTP_MAX_FILE_SIZE).
// A breach is an errno value like the file system's own: ENOSPC for the
// reserve, EFBIG for the cap.
#pragma once

#include <stddef.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include "config/ServerConfig.h"

namespace osprel {

// What a file system has left above the reserve.  A file system that gives
// no figures (no blocks, no inodes) has no limit here: its own ENOSPC stays.
struct RoomAboveReserve {
    unsigned long long bytes;
    unsigned long long inodes;
};
RoomAboveReserve roomAboveReserve(const struct statvfs &figures, const FreeSpaceReserve &reserve);

// The limits of one upload into a file of startSize bytes (its size before
// the first byte written: a REST offset, APPE's end, else 0).
class UploadLimits {
public:
    // Reads a file system's figures: fstatvfs, or a stand-in for tests.
    using LookAt = int (*)(int fd, struct statvfs *figures);
    // The reserve is looked at again before at most this many bytes more.
    static constexpr unsigned long long kLookEvery = 8ULL << 20;

    UploadLimits(const ServerConfig &config, off_t startSize, LookAt look = fstatvfs);

    // Before the upload (fd: a descriptor on the file system it goes to): 0
    // when `announced` bytes more (ALLO's size; 0 when unknown; at least 1
    // byte either way) keep under the cap, and there is room above the
    // reserve (with no reserve: free space) for them and an inode.  Else
    // EFBIG, ENOSPC, or fstatvfs's errno while the reserve is on.
    int checkStart(int fd, unsigned long long announced) const;

    // Before `bytes` more are written to fd: 0, EFBIG, ENOSPC, or fstatvfs's
    // errno.  Counts them as written when it returns 0.
    int admit(int fd, size_t bytes);

private:
    bool reserveOn() const { return reserve_.percent != 0 && reserve_.atMostBytes != 0; }
    bool pastCap(unsigned long long bytes) const { return cap_ != 0 && (size_ > cap_ || bytes > cap_ - size_); }

    FreeSpaceReserve reserve_;
    unsigned long long cap_;
    unsigned long long size_;
    unsigned long long allowance_ = 0;  // bytes that may be written before the next look
    LookAt look_;
};

}  // namespace osprel
