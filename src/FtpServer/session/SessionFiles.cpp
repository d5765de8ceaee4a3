// Commands on paths, directories and file names.  Every path goes through
// the session's jail; creating, removing and renaming work on the parent
// directory's descriptor, so the last component is never followed.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "files/PathResolver.h"
#include "session/Session.h"

namespace osprel {

void Session::cmdPwd(const std::string &) { control_.reply(257, quotedPath(jail_.cwd()) + " is the current directory"); }

void Session::changeDirectory(const std::string &argument, int doneCode) {
    if (jail_.changeDirectory(argument))
        control_.reply(doneCode, "Directory successfully changed.");
    else
        control_.reply(550, "Failed to change directory.");
}

void Session::cmdSize(const std::string &argument) {
    std::string path;
    ListEntry entry;
    if (!jail_.resolve(argument, &path) || !jail_.describe(path, &entry) || !S_ISREG(entry.info.st_mode)) {
        control_.reply(550, "Could not get file size.");
        return;
    }
    control_.replyf(213, "%lld", static_cast<long long>(entry.info.st_size));
}

void Session::cmdMdtm(const std::string &argument) {
    std::string path;
    ListEntry entry;
    if (!jail_.resolve(argument, &path) || !jail_.describe(path, &entry)) {
        control_.reply(550, "Could not get file modification time.");
        return;
    }
    control_.reply(213, timestampText(entry.info.st_mtim.tv_sec));
}

void Session::cmdDele(const std::string &argument) {
    std::string path;
    std::string leaf;
    UniqueFd parent(jail_.resolve(argument, &path) ? jail_.openParent(path, &leaf) : -EINVAL);
    struct stat info {};
    if (parent.get() < 0 || fstatat(parent.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        unlinkat(parent.get(), leaf.c_str(), 0) != 0) {
        control_.reply(550, "Delete operation failed.");
        return;
    }
    logTransfer(path, TransferDirection::kDeleted, info.st_size, Clock::duration(0), true);
    tell(EventType::kDelete, true, path);
    control_.reply(250, "Delete operation successful.");
}

void Session::cmdMkd(const std::string &argument) {
    std::string path;
    std::string leaf;
    UniqueFd parent(jail_.resolve(argument, &path) ? jail_.openParent(path, &leaf) : -EINVAL);
    if (parent.get() < 0 || mkdirat(parent.get(), leaf.c_str(), 0777) != 0) {
        control_.reply(550, "Create directory operation failed.");
        return;
    }
    tell(EventType::kMakeDirectory, true, path);
    control_.reply(257, quotedPath(path) + " created");
}

void Session::cmdRmd(const std::string &argument) {
    std::string path;
    std::string leaf;
    UniqueFd parent(jail_.resolve(argument, &path) ? jail_.openParent(path, &leaf) : -EINVAL);
    if (parent.get() < 0 || unlinkat(parent.get(), leaf.c_str(), AT_REMOVEDIR) != 0) {
        control_.reply(550, "Remove directory operation failed.");
        return;
    }
    tell(EventType::kRemoveDirectory, true, path);
    control_.reply(250, "Remove directory operation successful.");
}

void Session::cmdRnfr(const std::string &argument) {
    std::string path;
    std::string leaf;
    struct stat info;
    UniqueFd parent(jail_.resolve(argument, &path) ? jail_.openParent(path, &leaf) : -EINVAL);
    if (parent.get() < 0 || fstatat(parent.get(), leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        control_.reply(550, "RNFR command failed.");
        return;
    }
    renameFrom_ = path;
    renamePending_ = true;
    control_.reply(350, "Ready for RNTO.");
}

void Session::cmdRnto(const std::string &argument) {
    if (!renamePending_) {
        control_.reply(503, "RNFR required first.");
        return;
    }
    renamePending_ = false;
    std::string path;
    std::string fromLeaf;
    std::string toLeaf;
    UniqueFd fromParent(jail_.openParent(renameFrom_, &fromLeaf));
    UniqueFd toParent(jail_.resolve(argument, &path) ? jail_.openParent(path, &toLeaf) : -EINVAL);
    if (fromParent.get() < 0 || toParent.get() < 0 ||
        renameat(fromParent.get(), fromLeaf.c_str(), toParent.get(), toLeaf.c_str()) != 0) {
        control_.reply(550, "Rename failed.");
        return;
    }
    tell(EventType::kRename, true, renameFrom_, 0, path);
    control_.reply(250, "Rename successful.");
}

void Session::cmdMlst(const std::string &argument) {
    std::string path;
    ListEntry entry;
    if (!jail_.resolve(argument, &path) || !jail_.describe(path, &entry)) {
        control_.reply(550, "Could not list.");
        return;
    }
    std::string facts = " ";
    facts += mlsxFacts(entry, facts_, rights_);
    facts += path;
    control_.replyLines(250, "Listing " + path, {facts}, "End");
}

namespace {

// "YYYYMMDDHHMMSS" with an optional ".fraction" (ignored), UTC.
bool parseTimestamp(const std::string &text, timespec *when) {
    size_t digits = text.find('.');
    if (digits == std::string::npos) digits = text.size();
    if (digits != 14) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i != 14 && (text[i] < '0' || text[i] > '9')) return false;
    }
    auto field = [&text](size_t at, size_t length) { return std::stoi(text.substr(at, length)); };
    struct tm parts {};
    parts.tm_year = field(0, 4) - 1900;
    parts.tm_mon = field(4, 2) - 1;
    parts.tm_mday = field(6, 2);
    parts.tm_hour = field(8, 2);
    parts.tm_min = field(10, 2);
    parts.tm_sec = field(12, 2);
    if (parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_hour > 23 || parts.tm_min > 59 || parts.tm_sec > 59)
        return false;
    struct tm normalised = parts;
    time_t seconds = timegm(&normalised);
    // timegm rolls 31 February over into March: no such day.
    if (normalised.tm_mday != parts.tm_mday) return false;
    when->tv_sec = seconds;
    when->tv_nsec = 0;
    return true;
}

}  // namespace

// MFMT time path: sets a file's modification time, answered
// "213 Modify=time; path" as clients expect.
void Session::cmdMfmt(const std::string &argument) {
    size_t space = argument.find(' ');
    timespec times[2] = {{0, UTIME_OMIT}, {}};
    std::string name = space == std::string::npos ? std::string() : argument.substr(space + 1);
    if (name.empty() || !parseTimestamp(argument.substr(0, space), &times[1])) {
        control_.reply(501, "MFMT needs a time (YYYYMMDDHHMMSS) and a path.");
        return;
    }
    std::string path;
    UniqueFd fd(jail_.resolve(name, &path) ? jail_.open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY) : -EINVAL);
    if (fd.get() < 0 || futimens(fd.get(), times) != 0) {
        control_.reply(550, "Could not set the modification time.");
        return;
    }
    control_.reply(213, "Modify=" + argument.substr(0, 14) + "; " + name);
}

}  // namespace osprel
