// Stands in for the monitor: hands its command line to ServerMain, as a
// host's task thread would, and exits with its result.  With --has-openat2
// alone it says instead, by its exit status (0: yes), whether openat2 works
// where it runs: not on kernels before 5.6, nor under qemu-user, where the
// server resolves paths by its walk, which follows no symbolic link.
#include <fcntl.h>
#include <linux/openat2.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "osprel.h"

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--has-openat2") == 0) {
        open_how how{};
        how.flags = O_PATH;
        return syscall(SYS_openat2, AT_FDCWD, "/", &how, sizeof how) >= 0 ? 0 : 1;
    }
    return ServerMain(argc, argv);
}
