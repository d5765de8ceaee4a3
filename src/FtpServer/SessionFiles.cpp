// Commands on paths, directories and file names.  Every path goes through
// the resolver; creating, removing and renaming work on the parent
// directory's descriptor, so the last component is never followed.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "PathResolver.h"
#include "Session.h"

namespace osprel {

namespace {

// Closes a descriptor at the end of a scope.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) close(fd_);
    }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

bool Session::resolve(const std::string &argument, std::string *virtualPath) {
    return virtualPathFor(cwd_, argument, virtualPath);
}

int Session::openPath(const std::string &virtualPath, int flags) {
    return openBelowRoot(context_.rootFd, virtualPath, flags);
}

int Session::openParent(const std::string &virtualPath, std::string *leaf) {
    return openParentBelowRoot(context_.rootFd, virtualPath, leaf);
}

bool Session::describePath(const std::string &virtualPath, ListEntry *entry) {
    FdGuard fd(openPath(virtualPath, O_PATH));
    if (fd.get() < 0 || fstat(fd.get(), &entry->info) != 0) return false;
    entry->name = leafName(virtualPath);
    entry->linkTarget.clear();
    return true;
}

void Session::cmdPwd(const std::string &) { control_.reply(257, quotedPath(cwd_) + " is the current directory"); }

void Session::cmdCwd(const std::string &argument) {
    std::string path;
    int fd = resolve(argument, &path) ? openPath(path, O_PATH | O_DIRECTORY) : -EINVAL;
    if (fd < 0) {
        control_.reply(550, "Failed to change directory.");
        return;
    }
    close(fd);
    cwd_ = path;
    control_.reply(250, "Directory successfully changed.");
}

void Session::cmdCdup(const std::string &) {
    std::string path;
    int fd = resolve("..", &path) ? openPath(path, O_PATH | O_DIRECTORY) : -EINVAL;
    if (fd < 0) {
        control_.reply(550, "Failed to change directory.");
        return;
    }
    close(fd);
    cwd_ = path;
    control_.reply(200, "Directory successfully changed.");
}

void Session::cmdSize(const std::string &argument) {
    std::string path;
    ListEntry entry;
    if (!resolve(argument, &path) || !describePath(path, &entry) || !S_ISREG(entry.info.st_mode)) {
        control_.reply(550, "Could not get file size.");
        return;
    }
    control_.replyf(213, "%lld", static_cast<long long>(entry.info.st_size));
}

void Session::cmdMdtm(const std::string &argument) {
    std::string path;
    ListEntry entry;
    if (!resolve(argument, &path) || !describePath(path, &entry)) {
        control_.reply(550, "Could not get file modification time.");
        return;
    }
    control_.reply(213, timestampText(entry.info.st_mtim.tv_sec));
}

void Session::cmdDele(const std::string &argument) {
    std::string path;
    std::string leaf;
    FdGuard parent(resolve(argument, &path) ? openParent(path, &leaf) : -EINVAL);
    if (parent.get() < 0 || unlinkat(parent.get(), leaf.c_str(), 0) != 0) {
        control_.reply(550, "Delete operation failed.");
        return;
    }
    control_.reply(250, "Delete operation successful.");
}

void Session::cmdMkd(const std::string &argument) {
    std::string path;
    std::string leaf;
    FdGuard parent(resolve(argument, &path) ? openParent(path, &leaf) : -EINVAL);
    if (parent.get() < 0 || mkdirat(parent.get(), leaf.c_str(), 0777) != 0) {
        control_.reply(550, "Create directory operation failed.");
        return;
    }
    control_.reply(257, quotedPath(path) + " created");
}

void Session::cmdRmd(const std::string &argument) {
    std::string path;
    std::string leaf;
    FdGuard parent(resolve(argument, &path) ? openParent(path, &leaf) : -EINVAL);
    if (parent.get() < 0 || unlinkat(parent.get(), leaf.c_str(), AT_REMOVEDIR) != 0) {
        control_.reply(550, "Remove directory operation failed.");
        return;
    }
    control_.reply(250, "Remove directory operation successful.");
}

void Session::cmdRnfr(const std::string &argument) {
    std::string path;
    std::string leaf;
    struct stat info;
    FdGuard parent(resolve(argument, &path) ? openParent(path, &leaf) : -EINVAL);
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
    FdGuard fromParent(openParent(renameFrom_, &fromLeaf));
    FdGuard toParent(resolve(argument, &path) ? openParent(path, &toLeaf) : -EINVAL);
    if (fromParent.get() < 0 || toParent.get() < 0 ||
        renameat(fromParent.get(), fromLeaf.c_str(), toParent.get(), toLeaf.c_str()) != 0) {
        control_.reply(550, "Rename failed.");
        return;
    }
    control_.reply(250, "Rename successful.");
}

void Session::cmdMlst(const std::string &argument) {
    std::string path;
    ListEntry entry;
    if (!resolve(argument, &path) || !describePath(path, &entry)) {
        control_.reply(550, "Could not list.");
        return;
    }
    std::string facts = " ";
    facts += mlsxFacts(entry, facts_, config_.readOnly);
    facts += path;
    control_.replyLines(250, "Listing " + path, {facts}, "End");
}

void Session::statListing(const std::string &argument) {
    std::string text;
    if (!buildListing(argument, ListingKind::kLong, &text)) {
        control_.reply(550, "Could not list.");
        return;
    }
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    control_.replyLines(213, "Status follows:", lines, "End of status");
}

}  // namespace osprel
