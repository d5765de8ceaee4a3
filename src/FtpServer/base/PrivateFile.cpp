#include "base/PrivateFile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace osprel {

PrivateFile::~PrivateFile() { explicit_bzero(bytes.data(), bytes.size()); }

bool readPrivateFile(const std::string &path, PrivateFile *file, std::string *reason) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0) {
        file->cause = errno;
        *reason = strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > static_cast<off_t>(kMaxPrivateFile)) {
        file->cause = S_ISREG(info.st_mode) ? EFBIG : EINVAL;
        *reason = S_ISREG(info.st_mode) ? "larger than 1 MiB" : "not a regular file";
        close(fd);
        return false;
    }
    file->mode = info.st_mode;
    file->bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    errno = 0;
    while (done < file->bytes.size()) {
        ssize_t n = read(fd, file->bytes.data() + done, file->bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    int saved = errno;
    close(fd);
    if (done != file->bytes.size()) {
        file->cause = saved != 0 ? saved : EIO;
        *reason = saved != 0 ? strerror(saved) : "changed while being read";
        return false;
    }
    return true;
}

std::string modeText(mode_t mode) {
    char text[8];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace osprel
