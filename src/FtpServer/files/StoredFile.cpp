#include "files/StoredFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "base/Report.h"

namespace osprel {

namespace {

// Tries before a name is given up as taken: a clash of random names is
// already all but impossible, so a second try is for someone guessing.
constexpr int kNameAttempts = 16;
constexpr size_t kUniqueDigits = 8;

uint64_t randomBits() {
    uint64_t bits = 0;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) return bits;
    // No entropy yet (early boot): distinct enough, as every name is
    // created exclusively anyway.  splitmix64 spreads the bits.
    static std::atomic<uint64_t> counter{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t mixed = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                     (static_cast<uint64_t>(getpid()) << 48) ^ counter.fetch_add(1) * 0x9e3779b97f4a7c15ULL;
    mixed = (mixed ^ (mixed >> 30)) * 0xbf58476d1ce4e5b9ULL;
    mixed = (mixed ^ (mixed >> 27)) * 0x94d049bb133111ebULL;
    return mixed ^ (mixed >> 31);
}

std::string hexDigits(size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    uint64_t bits = randomBits();
    for (size_t i = 0; i < count; ++i, bits >>= 4) text += kDigits[bits & 15];
    return text;
}

std::string hiddenUploadName() { return std::string(kHiddenUploadPrefix) + hexDigits(kHiddenUploadDigits); }

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// O_TMPFILE refused by the file system (or an old kernel), not an error.
bool lacksUnnamedFiles(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS;
}

// An unnamed file can be linked only through /proc; without it (a chroot)
// the hidden name serves instead.
bool linkableThroughProc(int fd) {
    struct stat info;
    return fstatat(AT_FDCWD, procPath(fd).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// 0 with *existing set when name is a regular file, 0 with it clear when
// name is free; an errno when name is something else.
int regularOrMissing(int dirFd, const std::string &name, struct stat *info, bool *existing) {
    *existing = false;
    if (fstatat(dirFd, name.c_str(), info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
    if (S_ISDIR(info->st_mode)) return EISDIR;
    if (S_ISLNK(info->st_mode)) return ELOOP;
    if (!S_ISREG(info->st_mode)) return EINVAL;
    *existing = true;
    // Replacing goes by the directory's permissions; a file the server may
    // not write stays refused, as writing into it would be.
    return faccessat(dirFd, name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

// The replacing file gets the replaced one's permissions (set before any
// data is written), and its owner and group where the server may give them:
// a server that may not keeps its own, as any new file would have.
int inheritFrom(int fd, const struct stat &old) {
    struct stat info;
    if (fstat(fd, &info) != 0) return errno;
    if (info.st_uid != old.st_uid || info.st_gid != old.st_gid) {
        int ignored = fchown(fd, old.st_uid, old.st_gid);
        (void)ignored;
    }
    return fchmod(fd, old.st_mode & 0777) == 0 ? 0 : errno;
}

// A hidden name that cannot be removed stays invisible to clients, but
// takes space: the operator hears of it.
void removeHidden(int dirFd, const std::string &name) {
    if (unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT)
        reportLine("osprel: cannot remove the unfinished upload %s: %s", name.c_str(), strerror(errno));
}

// Tries step on fresh hidden names until one is not taken already
// (EEXIST); the name it took goes in *name.  Returns 0 or an errno.
template <typename Step>
int onFreshHiddenName(Step step, std::string *name) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string candidate = hiddenUploadName();
        if (step(candidate)) {
            *name = candidate;
            return 0;
        }
        if (errno != EEXIST) return errno;
    }
    return EEXIST;
}

int chooseUniqueName(int dirFd, const std::string &stem, std::string *name) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string candidate = stem + "." + hexDigits(kUniqueDigits);
        struct stat info;
        if (fstatat(dirFd, candidate.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) continue;
        if (errno != ENOENT) return errno;
        *name = candidate;
        return 0;
    }
    return EEXIST;
}

}  // namespace

StoredFile::~StoredFile() { discard(); }

int StoredFile::open(int dirFd, const std::string &name, Mode mode, off_t offset, int creation, Hiding hiding) {
    mode_ = mode;
    creation_ = mode == Mode::kUnique ? O_CREAT | O_EXCL : creation & (O_CREAT | O_EXCL);
    directory_.reset(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    if (directory_.get() < 0) return errno;
    struct stat old;
    bool existing = false;
    name_ = name;
    int error = mode == Mode::kUnique ? chooseUniqueName(directory_.get(), name, &name_)
                                      : regularOrMissing(directory_.get(), name, &old, &existing);
    if (error == 0 && !existing && (creation_ & O_CREAT) == 0) error = ENOENT;
    if (error == 0 && existing && (creation_ & O_EXCL) != 0) error = EEXIST;
    if (error != 0) return error;
    if (mode == Mode::kInPlace) return openInPlace(offset);
    error = createHidden(hiding);
    if (error == 0 && existing) error = inheritFrom(file_.get(), old);
    return error;
}

int StoredFile::createHidden(Hiding hiding) {
    if (hiding == Hiding::kAutomatic) {
        UniqueFd unnamed(openat(directory_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
        if (unnamed.get() >= 0 && linkableThroughProc(unnamed.get())) {
            file_ = std::move(unnamed);
            return 0;
        }
        if (unnamed.get() < 0 && !lacksUnnamedFiles(errno)) return errno;
    }
    return onFreshHiddenName(
        [this](const std::string &candidate) {
            file_.reset(openat(directory_.get(), candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               0666));
            return file_.get() >= 0;
        },
        &hiddenName_);
}

int StoredFile::openInPlace(off_t offset) {
    int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | creation_;
    // No O_APPEND for appending: splice refuses such files; the end is sought instead.
    if (offset == 0) flags |= O_TRUNC;
    file_.reset(openat(directory_.get(), name_.c_str(), flags, 0666));
    struct stat info;
    if (file_.get() < 0 || fstat(file_.get(), &info) != 0) return errno;
    if (!S_ISREG(info.st_mode)) return EINVAL;
    // A restarted upload replaces everything from the restart offset on.
    if (offset > 0 && (ftruncate(file_.get(), offset) != 0 || lseek(file_.get(), offset, SEEK_SET) != offset))
        return errno;
    writeOffset_ = offset == kAtEnd ? lseek(file_.get(), 0, SEEK_END) : offset;
    return writeOffset_ < 0 ? errno : 0;
}

int StoredFile::publish(bool sync) {
    int error = sync && fsync(file_.get()) != 0 ? errno : 0;
    if (error == 0 && mode_ != Mode::kInPlace) error = link();
    if (error != 0) {
        discard();
        return error;
    }
    finished_ = true;
    hiddenName_.clear();
    if (close(file_.release()) != 0) error = errno;
    // Published: a failure from here on is reported, but the file stays.
    if (sync && error == 0) error = syncDirectory();
    return error;
}

// Creating only (STOU, or the rights allow no more) never replaces;
// replacing only (the rights again) never creates.
int StoredFile::link() {
    int dirFd = directory_.get();
    bool mayCreate = (creation_ & O_CREAT) != 0;
    bool mayReplace = (creation_ & O_EXCL) == 0;
    if (hiddenName_.empty()) {
        if (mayCreate) {
            if (linkat(AT_FDCWD, procPath(file_.get()).c_str(), dirFd, name_.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
            if (errno != EEXIST || !mayReplace) return errno;
        }
        // linkat never replaces: a hidden name first, then one rename over the old file.
        if (int error = linkHidden(&hiddenName_); error != 0) return error;
    }
    if (!mayCreate) return renameOverExisting();
    if (!mayReplace) return renameAsNew();
    return renameat(dirFd, hiddenName_.c_str(), dirFd, name_.c_str()) == 0 ? 0 : errno;
}

int StoredFile::renameAsNew() {
    int dirFd = directory_.get();
    if (renameat2(dirFd, hiddenName_.c_str(), dirFd, name_.c_str(), RENAME_NOREPLACE) == 0) return 0;
    // A file system without RENAME_NOREPLACE: a hard link never replaces either.
    if (errno != EINVAL) return errno;
    if (linkat(dirFd, hiddenName_.c_str(), dirFd, name_.c_str(), 0) != 0) return errno;
    removeHidden(dirFd, hiddenName_);
    return 0;
}

int StoredFile::renameOverExisting() {
    int dirFd = directory_.get();
    if (renameat2(dirFd, hiddenName_.c_str(), dirFd, name_.c_str(), RENAME_EXCHANGE) == 0) {
        // The hidden name now holds the old file.
        removeHidden(dirFd, hiddenName_);
        return 0;
    }
    if (errno != EINVAL) return errno;
    // A file system without RENAME_EXCHANGE: the file seen just before is replaced.
    struct stat info;
    if (fstatat(dirFd, name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        renameat(dirFd, hiddenName_.c_str(), dirFd, name_.c_str()) != 0)
        return errno;
    return 0;
}

int StoredFile::linkHidden(std::string *hiddenName) {
    std::string source = procPath(file_.get());
    return onFreshHiddenName(
        [&](const std::string &candidate) {
            return linkat(AT_FDCWD, source.c_str(), directory_.get(), candidate.c_str(), AT_SYMLINK_FOLLOW) == 0;
        },
        hiddenName);
}

int StoredFile::syncDirectory() const {
    UniqueFd directory(openat(directory_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0 || fsync(directory.get()) != 0) return errno;
    return 0;
}

void StoredFile::discard() {
    if (finished_) return;
    finished_ = true;
    if (!hiddenName_.empty()) removeHidden(directory_.get(), hiddenName_);
    file_.reset();
}

}  // namespace osprel
