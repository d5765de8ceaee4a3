// Where one session stands in the served tree: the root it is confined to
// and its current directory.  Every path a command names is resolved and
// opened here, through PathResolver, so nothing leads outside the root.
#pragma once

#include <string>

#include "files/Listing.h"

namespace osprel {

class Jail {
public:
    // rootFd stays the caller's and must outlive the jail.
    explicit Jail(int rootFd) : rootFd_(rootFd) {}
    // From now on confined to rootFd (same terms), at its top.
    void confine(int rootFd) {
        rootFd_ = rootFd;
        cwd_.assign(1, '/');  // not = "/": g++ 12 sees a false overlap (-Wrestrict)
    }

    const std::string &cwd() const { return cwd_; }
    // Makes the directory argument names current; false when it names none.
    bool changeDirectory(const std::string &argument);

    // The virtual path argument names from the current directory; false
    // for one no file can have.
    bool resolve(const std::string &argument, std::string *virtualPath) const;
    // A new descriptor for the virtual path, or -errno.
    int open(const std::string &virtualPath, int flags) const;
    // The directory holding the path's last component, which goes in *leaf;
    // or -errno.
    int openParent(const std::string &virtualPath, std::string *leaf) const;
    // The path's entry (a last symbolic link not followed).
    bool describe(const std::string &virtualPath, ListEntry *entry) const;

private:
    int rootFd_;
    std::string cwd_ = "/";
};

}  // namespace osprel
