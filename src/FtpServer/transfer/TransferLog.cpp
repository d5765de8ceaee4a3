#include "transfer/TransferLog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Report.h"

namespace osprel {

namespace {

// Day and month names in English whatever the host's locale, as log
// analysers expect them.
const char *const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void appendTime(time_t when, std::string *line) {
    tm local{};
    localtime_r(&when, &local);
    char text[64];
    snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d", kDays[local.tm_wday % 7], kMonths[local.tm_mon % 12],
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
    *line += text;
}

// A field that cannot hold a blank, so the line always splits the same way.
// Nor be empty: an empty text is written as "-".
void appendField(const std::string &text, std::string *line) {
    *line += text.empty() ? " -" : " ";
    for (unsigned char c : text) {
        if (c > ' ' && c != 0x7f && c != '\\') {
            *line += static_cast<char>(c);
            continue;
        }
        char escaped[5];
        snprintf(escaped, sizeof escaped, "\\%03o", c);
        *line += escaped;
    }
}

// To the nearest second, and at least 1 for anything that took time, so
// that analysers dividing by it never divide by 0.
long long wholeSeconds(Clock::duration took) {
    if (took <= Clock::duration(0)) return 0;
    return std::max<long long>(std::chrono::round<std::chrono::seconds>(took).count(), 1);
}

// Only a regular file, named itself: a FIFO would block a session, a
// device take the lines nowhere, a link swapped in send them anywhere.
// Anything else fails with EINVAL.
int openLog(const std::string &path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    struct stat info;
    if (fd < 0) {
        if (lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) errno = EINVAL;
        return -1;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

const char *openFailure(int error) { return error == EINVAL ? "not a regular file" : strerror(error); }

bool sameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

std::string transferLogLine(const TransferRecord &record) {
    std::string line;
    appendTime(record.finished, &line);
    line += ' ' + std::to_string(wholeSeconds(record.took));
    appendField(record.remoteHost, &line);
    line += ' ' + std::to_string(record.bytes);
    appendField(record.path, &line);
    line += record.binary ? " b _ " : " a _ ";
    line += static_cast<char>(record.direction);
    line += record.anonymous ? " a" : " r";
    appendField(record.user, &line);
    line += " ftp 0 * ";
    line += record.complete ? "c\n" : "i\n";
    return line;
}

std::unique_ptr<TransferLog> TransferLog::open(const std::string &path, std::string *error) {
    int fd = openLog(path);
    if (fd < 0) {
        int cause = errno;
        *error = std::string("cannot open the transfer log, ") + path + ": " + openFailure(cause);
        errno = cause;  // the server's caller learns the cause from errno
        return nullptr;
    }
    return std::unique_ptr<TransferLog>(new TransferLog(path, fd));
}

TransferLog::~TransferLog() { close(fd_); }

void TransferLog::write(const TransferRecord &record) {
    std::string line = transferLogLine(record);
    std::lock_guard<std::mutex> lock(mutex_);
    reopenIfMoved();
    append(line);
}

// When the path names another file, or none, the log was rotated: the next
// line goes to a new file at the path.  Until one can be opened, lines go on
// into the file already open, so none is lost.
void TransferLog::reopenIfMoved() {
    struct stat named;
    struct stat open;
    if (stat(path_.c_str(), &named) == 0 && fstat(fd_, &open) == 0 && sameFile(named, open)) return;
    int fd = openLog(path_);
    if (fd < 0) {
        if (!reopenFailing_)
            reportLine("osprel: cannot reopen the transfer log, %s: %s; lines go on into the file it was",
                       path_.c_str(), openFailure(errno));
        reopenFailing_ = true;
        return;
    }
    reopenFailing_ = false;
    close(fd_);
    fd_ = fd;
}

void TransferLog::append(const std::string &line) {
    size_t written = 0;
    while (written < line.size()) {
        ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (!writeFailing_)
                reportLine("osprel: cannot write the transfer log, %s: %s", path_.c_str(),
                           n < 0 ? strerror(errno) : "nothing written");
            writeFailing_ = true;
            return;
        }
        written += static_cast<size_t>(n);
    }
    writeFailing_ = false;
}

}  // namespace osprel
