#include "UploadSink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace osprel {

bool UploadSink::open(int parentFd, const std::string &leaf, off_t offset, bool append) {
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    // No O_APPEND for APPE: splice refuses such files; the end is sought instead.
    flags |= (append || offset > 0) ? 0 : O_TRUNC;
    file_.reset(openat(parentFd, leaf.c_str(), flags, 0666));
    struct stat info;
    if (file_.get() < 0 || fstat(file_.get(), &info) != 0) return false;
    bool usable = S_ISREG(info.st_mode);
    // A restarted upload replaces everything from the restart offset on.
    if (usable && offset > 0)
        usable = ftruncate(file_.get(), offset) == 0 && lseek(file_.get(), offset, SEEK_SET) == offset;
    if (usable && append) usable = lseek(file_.get(), 0, SEEK_END) >= 0;
    return usable;
}

bool UploadSink::finish() { return ::close(file_.release()) == 0; }

void UploadSink::abandon() { file_.reset(); }

}  // namespace osprel
