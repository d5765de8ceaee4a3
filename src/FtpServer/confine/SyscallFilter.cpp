#include "confine/SyscallFilter.h"

#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <vector>

// The architecture whose calls the numbers below are: the build's, from its
// own headers.  A call made through another architecture's entry (int 0x80
// on x86-64) has other numbers and is refused whatever it is.
#if defined(__x86_64__) && !defined(__ILP32__)
#define OSPREL_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__i386__)
#define OSPREL_AUDIT_ARCH AUDIT_ARCH_I386
#elif defined(__aarch64__) && defined(__AARCH64EL__)
#define OSPREL_AUDIT_ARCH AUDIT_ARCH_AARCH64
#elif defined(__arm__) && defined(__ARMEL__)
#define OSPREL_AUDIT_ARCH AUDIT_ARCH_ARM
#endif

namespace osprel {

#ifdef OSPREL_AUDIT_ARCH

namespace {

struct Refusal {
    long call;
    int error;
};

// Why each is refused is above it; glibc falls back from clone3 to clone
// on ENOSYS, and clone's flags (unlike clone3's, in memory) can be checked.
const Refusal kRefusals[] = {
    // Running a program: the one way to become something other than this
    // server inside the host's process and identity.
    {SYS_execve, EPERM},
    {SYS_execveat, EPERM},
    // A new process would be the host's and outlive the server's rules on
    // threads; threads (clone with CLONE_THREAD, below) are allowed.
#ifdef SYS_fork
    {SYS_fork, EPERM},
#endif
#ifdef SYS_vfork
    {SYS_vfork, EPERM},
#endif
    {SYS_clone3, ENOSYS},
    // Reading, writing or steering another process.
    {SYS_ptrace, EPERM},
    {SYS_process_vm_readv, EPERM},
    {SYS_process_vm_writev, EPERM},
    // Mounts, root changes and namespaces: a view of the file system, or of
    // the network, other than the one the Landlock rules were made for.
    {SYS_mount, EPERM},
#ifdef SYS_umount
    {SYS_umount, EPERM},
#endif
    {SYS_umount2, EPERM},
    {SYS_pivot_root, EPERM},
    {SYS_chroot, EPERM},
    {SYS_unshare, EPERM},
    {SYS_setns, EPERM},
    // Kernel interfaces no session needs, each a large attack surface:
    // eBPF, the key rings (which hold the host's keys), io_uring (whose
    // operations run in kernel workers this filter never sees), modules,
    // kexec and performance counters.
    {SYS_bpf, EPERM},
    {SYS_keyctl, EPERM},
    {SYS_add_key, EPERM},
    {SYS_request_key, EPERM},
    {SYS_io_uring_setup, EPERM},
    {SYS_io_uring_enter, EPERM},
    {SYS_io_uring_register, EPERM},
    {SYS_init_module, EPERM},
    {SYS_finit_module, EPERM},
    {SYS_kexec_load, EPERM},
#ifdef SYS_kexec_file_load
    {SYS_kexec_file_load, EPERM},
#endif
    {SYS_perf_event_open, EPERM},
};

// A clone that makes a thread (CLONE_THREAD) in the same namespaces; a
// clone without CLONE_THREAD is a fork.
constexpr uint32_t kNamespaceFlags =
    CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;

// x32 calls enter through x86-64's architecture with this bit set.
constexpr uint32_t kX32CallBit = 0x40000000;

constexpr uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr uint32_t refuse(int error) { return SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA); }

// The low 32 bits of argument 0, where clone's flags are on every
// architecture built for.
constexpr uint32_t kFirstArgumentLow =
    offsetof(seccomp_data, args) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);

sock_filter statement(uint16_t code, uint32_t k) { return BPF_STMT(code, k); }
sock_filter jump(uint16_t code, uint32_t k, uint8_t ifTrue, uint8_t ifFalse) {
    return BPF_JUMP(code, k, ifTrue, ifFalse);
}

std::vector<sock_filter> filterProgram() {
    std::vector<sock_filter> program = {
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        jump(BPF_JMP | BPF_JEQ | BPF_K, OSPREL_AUDIT_ARCH, 1, 0),
        statement(BPF_RET | BPF_K, refuse(ENOSYS)),
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    if (OSPREL_AUDIT_ARCH == AUDIT_ARCH_X86_64) {
        program.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, kX32CallBit, 0, 1));
        program.push_back(statement(BPF_RET | BPF_K, refuse(ENOSYS)));
    }
    for (const Refusal &refusal : kRefusals) {
        program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(refusal.call), 0, 1));
        program.push_back(statement(BPF_RET | BPF_K, refuse(refusal.error)));
    }
    const sock_filter clone[] = {
        jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 5),
        statement(BPF_LD | BPF_W | BPF_ABS, kFirstArgumentLow),
        jump(BPF_JMP | BPF_JSET | BPF_K, kNamespaceFlags, 2, 0),
        jump(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 0, 1),
        statement(BPF_RET | BPF_K, kAllow),
        statement(BPF_RET | BPF_K, refuse(EPERM)),
    };
    program.insert(program.end(), std::begin(clone), std::end(clone));
    program.push_back(statement(BPF_RET | BPF_K, kAllow));
    return program;
}

}  // namespace

bool haveSyscallFilter() { return true; }

int installSyscallFilter() {
    std::vector<sock_filter> program = filterProgram();
    sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};
    // Never SECCOMP_FILTER_FLAG_TSYNC: that would put the filter on the
    // host's own threads.
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog, 0, 0) == 0 ? 0 : errno;
}

#else

bool haveSyscallFilter() { return false; }
int installSyscallFilter() { return ENOSYS; }

#endif

}  // namespace osprel
