// The transfer log (OSPREL_FTP_TRANSFER_LOG): one line for every download,
// upload and deletion, in the traditional xferlog format that log analysers
// read.
#pragma once

#include <time.h>

#include <memory>
#include <mutex>
#include <string>

#include "base/Clock.h"

namespace osprel {

enum class TransferDirection : char { kOutgoing = 'o', kIncoming = 'i', kDeleted = 'd' };

struct TransferRecord {
    time_t finished = 0;          // wall-clock time at the end
    Clock::duration took{};       // zero for a deletion
    std::string remoteHost;       // numeric
    long long bytes = 0;
    std::string path;             // as the client sees it
    bool binary = false;          // TYPE I (or ASCII)
    TransferDirection direction = TransferDirection::kOutgoing;
    bool anonymous = false;
    std::string user;
    bool complete = false;
};

// The record's line, newline included: "current-time transfer-time
// remote-host file-size filename transfer-type special-action-flag
// direction access-mode username service-name authentication-method
// authenticated-user-id completion-status", the time in local time as
// "Mon Sep  1 12:34:56 2025" whatever the locale, the seconds to the
// nearest (at least 1 when any time passed).
// In the texts a blank, a control byte, DEL and the backslash are written
// as a backslash and three octal digits ("\040"), so every line splits at
// its blanks into the same fields.
std::string transferLogLine(const TransferRecord &record);

class TransferLog {
public:
    // Opens path (absolute) for appending, creating it with mode 0600.  Only
    // a regular file, and not through a symbolic link.  Null with a one-line
    // reason in *error and errno set (EINVAL for anything but a regular file).
    static std::unique_ptr<TransferLog> open(const std::string &path, std::string *error);
    ~TransferLog();
    TransferLog(const TransferLog &) = delete;
    TransferLog &operator=(const TransferLog &) = delete;

    // Appends the record's line in one write, thread-safe.  A log renamed
    // or removed since the last line (rotated) is first reopened by its
    // path.  Never fails the caller: a write or reopening that fails is
    // reported once on standard error, until one succeeds again.
    void write(const TransferRecord &record);

private:
    TransferLog(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    void reopenIfMoved();
    void append(const std::string &line);

    std::mutex mutex_;
    const std::string path_;
    int fd_;
    bool reopenFailing_ = false;
    bool writeFailing_ = false;
};

}  // namespace osprel
