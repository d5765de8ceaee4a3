// The kernel's Landlock interface, as much as the server uses: a ruleset of
// directories and ports, applied to the calling thread (and the threads it
// creates afterwards).  Which rights exist depends on the ABI version the
// running kernel offers; the build's kernel headers may be older than that
// kernel, so the later constants are defined here (the values are the
// kernel's ABI and never change).
#pragma once

#include <linux/landlock.h>

#include <cstdint>

#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)  // ABI 3
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)  // ABI 5
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)  // ABI 4
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)  // ABI 6
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace osprel {

class LandlockRuleset {
public:
    // The ABI version the running kernel offers, or 0 with *error set
    // (ENOSYS: not built in; EOPNOTSUPP: not enabled at boot).
    static int kernelAbi(int *error);

    LandlockRuleset() = default;
    ~LandlockRuleset();
    LandlockRuleset(const LandlockRuleset &) = delete;
    LandlockRuleset &operator=(const LandlockRuleset &) = delete;

    // A ruleset that refuses every right ABI abi knows of (file system,
    // TCP bind from ABI 4, signals and abstract sockets out of the domain
    // from ABI 6) except those its rules allow.  0 or an errno.
    int create(int abi);
    // Allows rights beneath the directory dirFd (O_PATH will do); rights the
    // ABI does not know are dropped.  0 or an errno.
    int allowBeneath(int dirFd, uint64_t rights);
    // Allows binding TCP port (0: a port the kernel picks); nothing to do
    // before ABI 4.  0 or an errno.
    int allowBind(int port);
    // Confines the calling thread: it must have no_new_privs set (or be
    // privileged).  0 or an errno.
    int restrictThisThread() const;

private:
    int fd_ = -1;
    uint64_t handledFileRights_ = 0;
    bool handlesBind_ = false;
};

}  // namespace osprel
