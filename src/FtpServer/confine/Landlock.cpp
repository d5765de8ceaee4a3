#include "confine/Landlock.h"

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

// The same numbers on every architecture the server builds for.
#ifndef SYS_landlock_create_ruleset
#define SYS_landlock_create_ruleset 444
#define SYS_landlock_add_rule 445
#define SYS_landlock_restrict_self 446
#endif

namespace osprel {

namespace {

// The kernel's struct landlock_ruleset_attr as of ABI 6.  A kernel that knows
// fewer fields takes the whole struct as long as those it does not know are 0.
struct RulesetAttributes {
    uint64_t handledFileRights;
    uint64_t handledNetRights;
    uint64_t scoped;
};

// struct landlock_net_port_attr and LANDLOCK_RULE_NET_PORT (ABI 4).
struct NetPortAttributes {
    uint64_t allowedAccess;
    uint64_t port;
};
constexpr int kRuleNetPort = 2;

uint64_t fileRightsOf(int abi) {
    uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // ABI 1: every bit up to MAKE_SYM
    if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5) rights |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    return rights;
}

int errorOf(long result) { return result < 0 ? errno : 0; }

}  // namespace

int LandlockRuleset::kernelAbi(int *error) {
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi > 0) return static_cast<int>(abi);
    *error = errno;
    return 0;
}

LandlockRuleset::~LandlockRuleset() {
    if (fd_ >= 0) close(fd_);
}

int LandlockRuleset::create(int abi) {
    handledFileRights_ = fileRightsOf(abi);
    handlesBind_ = abi >= 4;
    RulesetAttributes attributes{handledFileRights_, handlesBind_ ? LANDLOCK_ACCESS_NET_BIND_TCP : 0,
                                 abi >= 6 ? LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL : 0};
    long fd = syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
    if (fd < 0) return errno;
    fd_ = static_cast<int>(fd);
    return 0;
}

int LandlockRuleset::allowBeneath(int dirFd, uint64_t rights) {
    landlock_path_beneath_attr beneath{rights & handledFileRights_, dirFd};
    return errorOf(syscall(SYS_landlock_add_rule, fd_, LANDLOCK_RULE_PATH_BENEATH, &beneath, 0));
}

int LandlockRuleset::allowBind(int port) {
    if (!handlesBind_) return 0;
    NetPortAttributes bind{LANDLOCK_ACCESS_NET_BIND_TCP, static_cast<uint64_t>(port)};
    return errorOf(syscall(SYS_landlock_add_rule, fd_, kRuleNetPort, &bind, 0));
}

int LandlockRuleset::restrictThisThread() const {
    return errorOf(syscall(SYS_landlock_restrict_self, fd_, 0));
}

}  // namespace osprel
