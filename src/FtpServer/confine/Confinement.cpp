#include "confine/Confinement.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <system_error>
#include <thread>

#include "confine/SyscallFilter.h"

namespace osprel {

namespace {

// The rights in the served root.  Reading lists and downloads; writing
// covers every way an upload is stored (an unnamed file linked in, a hidden
// name renamed over or exchanged with the old file, REST and APPE), MKD,
// DELE, RMD and renames between directories (REFER).  Never executing, nor
// making links, devices, pipes or sockets, which no command does.
constexpr uint64_t kReadRights = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr uint64_t kWriteRights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                                  LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_DIR |
                                  LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                                  LANDLOCK_ACCESS_FS_REFER;

// The accounts file and the TLS certificate and key are read again when
// they change, and a renewed file usually arrives by rename, as a new file:
// so reading is allowed in their directories, not on the files.
constexpr uint64_t kRenewedFileRights = LANDLOCK_ACCESS_FS_READ_FILE;

// The transfer log is reopened, or made anew, after a rotation: create and
// write (it is opened to append; truncating stays refused).
constexpr uint64_t kTransferLogRights = LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_WRITE_FILE;

// Whether any login may ever change the served tree.  An accounts file's
// rights may change while the server runs, so only OSPREL_FTP_READONLY=1
// rules writing out there; without one, anonymous logins only read unless
// OSPREL_FTP_READONLY=0.
bool mayEverWrite(const ServerConfig &config) {
    switch (config.writeAccess) {
    case WriteAccess::kNobody:
        return false;
    case WriteAccess::kEveryone:
        return true;
    case WriteAccess::kConfiguredLogin:
        break;
    }
    return !config.usersFile.empty() || config.credentialsRequired;
}

std::string directoryOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string reason(const char *what, int error) { return std::string(what) + ": " + strerror(error); }

// The process-wide state that is made on first use and kept: made in a
// thread that may not read its files, it would stay wrong for the host too.
void makeFirstUses(const ServerConfig &config) {
    // The time zone is read once per process: the host's times as well as
    // the listings' and the transfer log's.
    tzset();
    // The C library's messages in the host's language are loaded once, and a
    // failed load is remembered.
    (void)strerror(ENOENT);
    if (config.tls.mode == TlsMode::kOff) return;
    // OpenSSL reads its configuration and seeds its generator on first use.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG | OPENSSL_INIT_NO_ATEXIT, nullptr);
    (void)RAND_status();
}

// A confined thread must not run the host's signal handlers: they were
// written for the host's rights.
void blockAllSignals() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, nullptr);
}

int setNoNewPrivileges() { return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 ? 0 : errno; }

std::string landlockMissing(int error) {
    return error == ENOSYS || error == EOPNOTSUPP ? "the kernel offers no Landlock" : reason("Landlock refused", error);
}

std::string seccompMissing(int error) {
    if (!haveSyscallFilter()) return "no seccomp filter for this architecture";
    return error == EINVAL || error == ENOSYS ? "the kernel offers no seccomp filter"
                                              : reason("seccomp refused", error);
}

}  // namespace

std::string confinementWords(const ConfinementOffer &offer) {
    if (!offer.wanted) return ", not confined (OSPREL_FTP_CONFINE=0)";
    if (offer.landlockAbi == 0) {
        return ", not confined: " + offer.landlockMissing +
               (offer.seccomp ? " (seccomp only)" : "; " + offer.seccompMissing);
    }
    std::string landlock = ", confined (Landlock " + std::to_string(offer.landlockAbi);
    return offer.seccomp ? landlock + ", seccomp)" : landlock + "): " + offer.seccompMissing;
}

std::unique_ptr<Confinement> Confinement::prepare(const ServerConfig &config, int rootFd, int controlPort,
                                                  std::string *error) {
    std::unique_ptr<Confinement> confinement(new Confinement());
    if (!config.confine) {
        confinement->offer_.wanted = false;
        return confinement;
    }
    int callersErrno = errno;
    makeFirstUses(config);
    int failure = confinement->planRules(config, rootFd, controlPort, error);
    if (failure == 0) {
        try {
            confinement->tryOnAThreadOfItsOwn();
        } catch (const std::system_error &threadFailure) {
            failure = threadFailure.code().value();
            *error = std::string("cannot try confining a thread: ") + strerror(failure);
        }
    }
    // The caller's errno stays as it was, or says why it failed.
    errno = failure == 0 ? callersErrno : failure;
    return failure == 0 ? std::move(confinement) : nullptr;
}

int Confinement::planRules(const ServerConfig &config, int rootFd, int controlPort, std::string *error) {
    int missing = 0;
    int abi = LandlockRuleset::kernelAbi(&missing);
    if (abi != 0) missing = ruleset_.create(abi);
    if (missing != 0) {
        offer_.landlockMissing = landlockMissing(missing);
        return 0;
    }
    offer_.landlockAbi = abi;
    auto refused = [error](const std::string &what, int failure) {
        if (failure != 0) *error = "cannot confine the server's threads to " + what + ": " + strerror(failure);
        return failure;
    };
    auto allowDirectoryOf = [&](const std::string &path, uint64_t rights) {
        std::string directory = directoryOf(path);
        int fd = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        int failure = fd < 0 ? errno : ruleset_.allowBeneath(fd, rights);
        if (fd >= 0) close(fd);
        return refused(directory, failure);
    };
    uint64_t rootRights = kReadRights | (mayEverWrite(config) ? kWriteRights : 0);
    int failure = refused(config.root, ruleset_.allowBeneath(rootFd, rootRights));
    if (failure == 0 && !config.usersFile.empty()) failure = allowDirectoryOf(config.usersFile, kRenewedFileRights);
    if (failure == 0 && config.tls.mode != TlsMode::kOff) {
        failure = allowDirectoryOf(config.tls.certificatePath, kRenewedFileRights);
        if (failure == 0) failure = allowDirectoryOf(config.tls.keyPath, kRenewedFileRights);
    }
    if (failure == 0 && !config.transferLogPath.empty())
        failure = allowDirectoryOf(config.transferLogPath, kTransferLogRights);
    if (failure != 0) return failure;
    // Bind: the control port, the passive range, and port 0, the kernel's
    // pick (an active connection leaves from the control connection's
    // address; passive listens without a range).  Any other port stays the
    // host's.
    failure = ruleset_.allowBind(controlPort);
    for (int i = 0; failure == 0 && config.firstPassivePort != 0 && i < kPassivePortCount; ++i)
        failure = ruleset_.allowBind(config.firstPassivePort + i);
    if (failure == 0) failure = ruleset_.allowBind(0);
    return refused("their ports", failure);
}

// What the kernel offers shows only when a thread confines itself: an
// emulator may refuse what the kernel has, a host already confined may have
// no Landlock layers left.  The thread ends at once.
void Confinement::tryOnAThreadOfItsOwn() {
    std::thread([this] {
        blockAllSignals();
        int refused = setNoNewPrivileges();
        int landlock = refused != 0 ? refused : offer_.landlockAbi != 0 ? ruleset_.restrictThisThread() : 0;
        int seccomp = refused != 0 ? refused : installSyscallFilter();
        if (landlock != 0) {
            offer_.landlockAbi = 0;
            offer_.landlockMissing = landlockMissing(landlock);
        }
        offer_.seccomp = seccomp == 0;
        if (seccomp != 0) offer_.seccompMissing = seccompMissing(seccomp);
    }).join();
}

bool Confinement::confineThisThread(std::string *error) const {
    if (!offer_.wanted || (offer_.landlockAbi == 0 && !offer_.seccomp)) return true;
    // Per thread, and needed for an unprivileged filter and domain: only
    // this thread and those it creates may no longer gain privileges
    // through exec, which the filter refuses them anyway.
    int failure = setNoNewPrivileges();
    if (failure == 0 && offer_.landlockAbi != 0) failure = ruleset_.restrictThisThread();
    if (failure == 0 && offer_.seccomp) failure = installSyscallFilter();
    if (failure == 0) return true;
    *error = reason("cannot confine the server's thread", failure);
    errno = failure;
    return false;
}

}  // namespace osprel
