#include "files/Jail.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "files/PathResolver.h"
#include "net/DataConnection.h"

namespace osprel {

bool Jail::changeDirectory(const std::string &argument) {
    std::string path;
    UniqueFd directory(resolve(argument, &path) ? open(path, O_PATH | O_DIRECTORY) : -EINVAL);
    if (directory.get() < 0) return false;
    cwd_ = path;
    return true;
}

bool Jail::resolve(const std::string &argument, std::string *virtualPath) const {
    return virtualPathFor(cwd_, argument, virtualPath);
}

int Jail::open(const std::string &virtualPath, int flags) const { return openBelowRoot(rootFd_, virtualPath, flags); }

int Jail::openParent(const std::string &virtualPath, std::string *leaf) const {
    return openParentBelowRoot(rootFd_, virtualPath, leaf);
}

bool Jail::describe(const std::string &virtualPath, ListEntry *entry) const {
    UniqueFd fd(open(virtualPath, O_PATH));
    if (fd.get() < 0 || fstat(fd.get(), &entry->info) != 0) return false;
    entry->name = leafName(virtualPath);
    entry->linkTarget.clear();
    return true;
}

}  // namespace osprel
