#include "base/Renewal.h"

#include <errno.h>

#include "base/Report.h"

namespace osprel {

bool FileWatch::Seen::operator==(const Seen &other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
           changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec && error == other.error;
}

bool FileWatch::changed() {
    std::vector<Seen> now;
    now.reserve(paths_.size());
    for (const std::string &path : paths_) {
        struct stat info;
        Seen seen;
        if (stat(path.c_str(), &info) != 0) {
            seen.error = errno;
        } else {
            seen = {info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim, 0};
        }
        now.push_back(seen);
    }
    bool differs = now != seen_;
    seen_ = std::move(now);
    return differs;
}

void reportRenewal(const std::string &what, const std::vector<std::string> &paths, const std::string *error) {
    if (error != nullptr) {
        reportLine("osprel: %s; the %s loaded before stay in use", error->c_str(), what.c_str());
        return;
    }
    std::string from;
    for (const std::string &path : paths) from += (from.empty() ? "" : " and ") + path;
    reportLine("osprel: reloaded the %s from %s", what.c_str(), from.c_str());
}

}  // namespace osprel
