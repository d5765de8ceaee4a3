// The seccomp filter of the server's threads: it refuses, with an error and
// never by killing the thread, the calls that an FTP server's thread never
// makes and that one gone astray would use to run programs, start processes,
// leave its namespaces, reach into other processes or widen the kernel's
// attack surface.  Everything else is allowed.
#pragma once

namespace osprel {

// Whether this build knows the architecture's system calls (x86-64, i386,
// armhf, arm64): elsewhere there is no filter.
bool haveSyscallFilter();

// Installs the filter on the calling thread; the threads it creates from
// then on inherit it, no other thread has it.  The thread must have
// no_new_privs set (or be privileged).  0 or an errno (EINVAL: the kernel,
// or an emulator, offers no seccomp filter).
int installSyscallFilter();

}  // namespace osprel
