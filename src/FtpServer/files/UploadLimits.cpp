#include "files/UploadLimits.h"

#include <errno.h>

#include <algorithm>
#include <climits>

namespace osprel {

namespace {

unsigned long long aboveOrZero(unsigned long long have, unsigned long long kept) {
    return have > kept ? have - kept : 0;
}

// remainder + addend, as a quotient and a remainder of divisor (both
// below divisor), never past 64 bits.
void addModulo(unsigned long long addend, unsigned long long divisor, unsigned long long *quotient,
               unsigned long long *remainder) {
    if (*remainder >= divisor - addend) {
        *remainder -= divisor - addend;
        ++*quotient;
    } else {
        *remainder += addend;
    }
}

// part * whole / divisor rounded up, exactly, for whole <= divisor: the
// product needs up to 128 bits, which 32-bit targets have no type for, so
// what exceeds a multiple of divisor is multiplied a bit at a time.
unsigned long long shareRoundedUp(unsigned long long part, unsigned long long whole, unsigned long long divisor) {
    unsigned long long quotient = 0;
    unsigned long long remainder = 0;
    unsigned long long left = part % divisor;
    for (int bit = 63; bit >= 0; --bit) {
        unsigned long long doubled = quotient;
        addModulo(remainder, divisor, &doubled, &remainder);
        quotient += doubled;
        if ((whole >> bit) & 1) addModulo(left, divisor, &quotient, &remainder);
    }
    return part / divisor * whole + quotient + (remainder != 0 ? 1 : 0);
}

}  // namespace

RoomAboveReserve roomAboveReserve(const struct statvfs &figures, const FreeSpaceReserve &reserve) {
    unsigned long long unit = figures.f_frsize != 0 ? figures.f_frsize : figures.f_bsize;
    unsigned long long total = static_cast<unsigned long long>(figures.f_blocks) * unit;
    if (total == 0) return {ULLONG_MAX, ULLONG_MAX};
    unsigned long long free = static_cast<unsigned long long>(figures.f_bavail) * unit;
    unsigned long long share = total / 100 * reserve.percent + total % 100 * reserve.percent / 100;
    unsigned long long kept = std::min(share, reserve.atMostBytes);
    RoomAboveReserve room{aboveOrZero(free, kept), ULLONG_MAX};
    if (figures.f_files != 0) {
        // The same share of the inodes, rounded up.
        room.inodes = aboveOrZero(figures.f_favail, shareRoundedUp(figures.f_files, kept, total));
    }
    return room;
}

UploadLimits::UploadLimits(const ServerConfig &config, off_t startSize, LookAt look)
    : reserve_(config.minFree),
      cap_(config.maxFileSize),
      size_(startSize > 0 ? static_cast<unsigned long long>(startSize) : 0),
      look_(look) {}

// An upload that could not store a single byte is refused here, before it
// starts, whatever the size announced.
int UploadLimits::checkStart(int fd, unsigned long long announced) const {
    unsigned long long least = std::max(announced, 1ULL);
    if (pastCap(least)) return EFBIG;
    struct statvfs figures;
    // With no reserve to keep, a failed look leaves the file system's own ENOSPC as the guard.
    if (look_(fd, &figures) != 0) return reserveOn() ? errno : 0;
    // With the reserve off this is the space free to the server.
    RoomAboveReserve room = roomAboveReserve(figures, reserve_);
    return room.inodes >= 1 && room.bytes >= least ? 0 : ENOSPC;
}

int UploadLimits::admit(int fd, size_t bytes) {
    if (pastCap(bytes)) return EFBIG;
    if (reserveOn() && bytes > allowance_) {
        struct statvfs figures;
        if (look_(fd, &figures) != 0) return errno;
        unsigned long long room = roomAboveReserve(figures, reserve_).bytes;
        if (bytes > room) return ENOSPC;
        allowance_ = std::min(room, kLookEvery);
    }
    allowance_ -= std::min<unsigned long long>(allowance_, bytes);
    size_ += bytes;
    return 0;
}

}  // namespace osprel
