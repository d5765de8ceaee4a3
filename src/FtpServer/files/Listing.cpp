#include "files/Listing.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <span>

#include "base/Rights.h"
#include "files/HiddenUploadName.h"
#include "files/Wildcard.h"

namespace osprel {

namespace {

// Files past 2 GiB, times past 2038, and directories whose offsets need 64
// bits (ext4's) are everyday things on 32-bit devices too.
static_assert(sizeof(off_t) == 8 && sizeof(time_t) == 8,
              "build with _FILE_OFFSET_BITS=64 and _TIME_BITS=64, as CMakeLists.txt does");

constexpr time_t kSixMonths = 15778476;  // 182.6 days
const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

char typeLetter(mode_t mode) {
    if (S_ISDIR(mode)) return 'd';
    if (S_ISLNK(mode)) return 'l';
    if (S_ISFIFO(mode)) return 'p';
    if (S_ISSOCK(mode)) return 's';
    if (S_ISCHR(mode)) return 'c';
    if (S_ISBLK(mode)) return 'b';
    return '-';
}

// The execute position shows set-id and sticky bits as ls does.
char executeLetter(mode_t mode, mode_t execute, mode_t special, char set, char setWithoutExecute) {
    if (mode & special) return (mode & execute) ? set : setWithoutExecute;
    return (mode & execute) ? 'x' : '-';
}

std::string modeText(mode_t mode) {
    std::string text(10, '-');
    text[0] = typeLetter(mode);
    text[1] = (mode & S_IRUSR) ? 'r' : '-';
    text[2] = (mode & S_IWUSR) ? 'w' : '-';
    text[3] = executeLetter(mode, S_IXUSR, S_ISUID, 's', 'S');
    text[4] = (mode & S_IRGRP) ? 'r' : '-';
    text[5] = (mode & S_IWGRP) ? 'w' : '-';
    text[6] = executeLetter(mode, S_IXGRP, S_ISGID, 's', 'S');
    text[7] = (mode & S_IROTH) ? 'r' : '-';
    text[8] = (mode & S_IWOTH) ? 'w' : '-';
    text[9] = executeLetter(mode, S_IXOTH, S_ISVTX, 't', 'T');
    return text;
}

std::string dateText(time_t when, time_t now) {
    struct tm parts {};
    gmtime_r(&when, &parts);
    char text[32];
    bool recent = when <= now + 3600 && now - when < kSixMonths;
    if (recent)
        snprintf(text, sizeof text, "%s %2d %02d:%02d", kMonths[parts.tm_mon], parts.tm_mday, parts.tm_hour,
                 parts.tm_min);
    else
        snprintf(text, sizeof text, "%s %2d %5d", kMonths[parts.tm_mon], parts.tm_mday, parts.tm_year + 1900);
    return text;
}

std::string readLinkTarget(int dirFd, const std::string &name) {
    char target[4096];
    ssize_t length = readlinkat(dirFd, name.c_str(), target, sizeof target);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

}  // namespace

bool describeEntry(int dirFd, const std::string &name, ListEntry *entry) {
    entry->name = name;
    if (fstatat(dirFd, name.c_str(), &entry->info, AT_SYMLINK_NOFOLLOW) != 0) return false;
    entry->linkTarget = S_ISLNK(entry->info.st_mode) ? readLinkTarget(dirFd, name) : std::string();
    return true;
}

DirectoryReader::DirectoryReader(int dirFd, std::string pattern) : pattern_(std::move(pattern)) {
    // fdopendir takes the descriptor over; keep the caller's.
    int ownFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (ownFd < 0) return;
    directory_ = fdopendir(ownFd);
    if (directory_ == nullptr) {
        int saved = errno;
        close(ownFd);
        errno = saved;
        return;
    }
    size_t bytes = 0;
    std::string name;
    while (bytes < kSortedBytes && readName(&name)) {
        bytes += name.size() + sizeof name;
        firstNames_.push_back(std::move(name));
    }
    if (bytes < kSortedBytes) std::sort(firstNames_.begin(), firstNames_.end());
}

DirectoryReader::~DirectoryReader() {
    if (directory_ != nullptr) closedir(directory_);
}

bool DirectoryReader::readName(std::string *name) {
    for (;;) {
        errno = 0;
        dirent *item = readdir(directory_);
        if (item == nullptr) {
            error_ = errno;
            return false;
        }
        std::string_view found = item->d_name;
        if (found == "." || found == ".." || isHiddenUploadName(found)) continue;
        if (!pattern_.empty() && !matchesWildcard(pattern_, found)) continue;
        name->assign(found);
        return true;
    }
}

bool DirectoryReader::nextName(std::string *name) {
    if (served_ < firstNames_.size()) {
        name->swap(firstNames_[served_++]);
        if (served_ == firstNames_.size()) std::vector<std::string>().swap(firstNames_);
        return true;
    }
    return error_ == 0 && readName(name);
}

bool DirectoryReader::next(ListEntry *entry) {
    if (directory_ == nullptr) return false;
    std::string name;
    while (nextName(&name)) {
        if (describeEntry(dirfd(directory_), name, entry)) return true;
    }
    return false;
}

std::string listLine(const ListEntry &entry, time_t now) {
    char fields[128];
    snprintf(fields, sizeof fields, "%s %4lu %-8u %-8u %12lld ", modeText(entry.info.st_mode).c_str(),
             static_cast<unsigned long>(entry.info.st_nlink), static_cast<unsigned>(entry.info.st_uid),
             static_cast<unsigned>(entry.info.st_gid), static_cast<long long>(entry.info.st_size));
    std::string line = fields;
    line += dateText(entry.info.st_mtim.tv_sec, now);
    line += ' ';
    line += listingName(entry.name);
    if (S_ISLNK(entry.info.st_mode)) {
        line += " -> ";
        line += listingName(entry.linkTarget);
    }
    line += "\r\n";
    return line;
}

namespace {

// RFC 3659's perm letters each session's rights allow: for a file append,
// delete, rename, retrieve, store over; for a directory create files in,
// delete, enter, rename, list, make directories in, purge.
std::string permFact(mode_t mode, unsigned rights) {
    struct Letter {
        char letter;
        unsigned right;  // 0: always
    };
    static const Letter kFile[] = {{'a', kDelete}, {'d', kDelete}, {'f', kDelete}, {'r', kRead}, {'w', kDelete}};
    static const Letter kDirectory[] = {{'c', kWrite}, {'d', kDelete}, {'e', 0}, {'f', kDelete},
                                        {'l', kRead},  {'m', kWrite},  {'p', kDelete}};
    std::string text = "perm=";
    for (const Letter &each : S_ISDIR(mode) ? std::span<const Letter>(kDirectory) : std::span<const Letter>(kFile))
        if (each.right == 0 || (rights & each.right) != 0) text += each.letter;
    return text + ';';
}

}  // namespace

std::string mlsxFacts(const ListEntry &entry, const FactSelection &facts, unsigned rights, const char *typeOverride) {
    mode_t mode = entry.info.st_mode;
    std::string text;
    if (facts.type) {
        const char *type = typeOverride ? typeOverride
                           : S_ISDIR(mode) ? "dir"
                           : S_ISREG(mode) ? "file"
                           : S_ISLNK(mode) ? "OS.unix=symlink"
                                           : "OS.unix=special";
        text += "type=";
        text += type;
        text += ';';
    }
    if (facts.size && !S_ISDIR(mode)) text += "size=" + std::to_string(static_cast<long long>(entry.info.st_size)) + ';';
    if (facts.modify) text += "modify=" + timestampText(entry.info.st_mtim.tv_sec) + ';';
    if (facts.perm) text += permFact(mode, rights);
    text += ' ';
    return text;
}

std::string selectFacts(const std::string &argument, FactSelection *facts) {
    FactSelection chosen{false, false, false, false};
    size_t start = 0;
    while (start < argument.size()) {
        size_t end = argument.find(';', start);
        if (end == std::string::npos) end = argument.size();
        std::string fact = argument.substr(start, end - start);
        std::transform(fact.begin(), fact.end(), fact.begin(), [](unsigned char c) { return std::tolower(c); });
        if (fact == "type") chosen.type = true;
        if (fact == "size") chosen.size = true;
        if (fact == "modify") chosen.modify = true;
        if (fact == "perm") chosen.perm = true;
        start = end + 1;
    }
    *facts = chosen;
    std::string text;
    if (chosen.type) text += "type;";
    if (chosen.size) text += "size;";
    if (chosen.modify) text += "modify;";
    if (chosen.perm) text += "perm;";
    return text;
}

std::string featFacts(const FactSelection &facts) {
    std::string text;
    text += facts.type ? "type*;" : "type;";
    text += facts.size ? "size*;" : "size;";
    text += facts.modify ? "modify*;" : "modify;";
    text += facts.perm ? "perm*;" : "perm;";
    return text;
}

std::string timestampText(time_t when) {
    struct tm parts {};
    gmtime_r(&when, &parts);
    char text[32];
    snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
             parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

std::string listingName(const std::string &name) {
    std::string safe = name;
    std::replace(safe.begin(), safe.end(), '\r', '?');
    std::replace(safe.begin(), safe.end(), '\n', '?');
    return safe;
}

}  // namespace osprel
