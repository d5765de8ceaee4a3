#include "files/PathResolver.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "files/HiddenUploadName.h"

namespace osprel {

namespace {

std::vector<std::string_view> componentsOf(std::string_view path) {
    std::vector<std::string_view> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) slash = path.size();
        if (slash > start) components.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return components;
}

// Relative form for the kernel: "/" -> ".", "/a/b" -> "a/b".
std::string rootRelative(std::string_view virtualPath) {
    while (!virtualPath.empty() && virtualPath.front() == '/') virtualPath.remove_prefix(1);
    return virtualPath.empty() ? std::string(".") : std::string(virtualPath);
}

std::atomic<bool> g_kernelLacksOpenat2{false};

int openWithKernel(int rootFd, std::string_view virtualPath, int flags) {
    open_how how{};
    how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    std::string relative = rootRelative(virtualPath);
    for (;;) {
        long fd = syscall(SYS_openat2, rootFd, relative.c_str(), &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        // EAGAIN: a rename raced the lookup; the kernel asks us to retry.
        if (errno != EINTR && errno != EAGAIN) return -errno;
    }
}

// A seccomp filter (containers) may answer EPERM for openat2 itself; a file
// may answer EPERM too.  Opening the root tells the two apart.
bool kernelRefusesOpenat2(int rootFd) {
    int fd = openWithKernel(rootFd, "/", O_PATH);
    if (fd >= 0) close(fd);
    return fd == -EPERM;
}

int openAt(int dirFd, const std::string &name, int flags) {
    for (;;) {
        int fd = openat(dirFd, name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == EINTR) continue;
        if (fd < 0) return -errno;
        // O_PATH | O_NOFOLLOW opens a symbolic link itself, which the walk
        // refuses as every other open of one fails.
        struct stat info;
        if ((flags & O_PATH) != 0 && (fstat(fd, &info) != 0 || S_ISLNK(info.st_mode))) {
            close(fd);
            return -ELOOP;
        }
        return fd;
    }
}

int openByWalk(int rootFd, std::string_view virtualPath, int flags) {
    std::vector<std::string_view> components = componentsOf(virtualPath);
    if (components.empty()) return openAt(rootFd, ".", flags);
    int dirFd = rootFd;
    for (size_t i = 0; i < components.size(); ++i) {
        std::string name(components[i]);
        // Virtual paths carry no "." or "..", but never trust that here.
        int fd = (name == "." || name == "..") ? -EPERM
                 : i + 1 < components.size()   ? openAt(dirFd, name, O_PATH | O_DIRECTORY)
                                               : openAt(dirFd, name, flags);
        if (dirFd != rootFd) close(dirFd);
        if (fd < 0) return fd;
        dirFd = fd;
    }
    return dirFd;
}

}  // namespace

bool virtualPathFor(std::string_view cwd, std::string_view argument, std::string *result) {
    if (argument.find('\0') != std::string_view::npos) return false;
    std::vector<std::string_view> kept;
    if (argument.empty() || argument.front() != '/') kept = componentsOf(cwd);
    for (std::string_view component : componentsOf(argument)) {
        // An upload still running is nobody's to read, remove or rename.
        if (isHiddenUploadName(component)) return false;
        if (component == ".") continue;
        if (component == "..") {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(component);
    }
    std::string path;
    for (std::string_view component : kept) {
        path.push_back('/');
        path.append(component);
    }
    *result = path.empty() ? std::string("/") : path;
    return true;
}

int openBelowRoot(int rootFd, std::string_view virtualPath, int flags, Resolution resolution) {
    if (flags & O_CREAT) return -EINVAL;
    if (virtualPath.find('\0') != std::string_view::npos) return -EINVAL;
    if (resolution == Resolution::kWalk) return openByWalk(rootFd, virtualPath, flags);
    if (resolution == Resolution::kAutomatic && g_kernelLacksOpenat2.load(std::memory_order_relaxed))
        return openByWalk(rootFd, virtualPath, flags);
    int fd = openWithKernel(rootFd, virtualPath, flags);
    if (resolution == Resolution::kAutomatic && (fd == -ENOSYS || (fd == -EPERM && kernelRefusesOpenat2(rootFd)))) {
        g_kernelLacksOpenat2.store(true, std::memory_order_relaxed);
        return openByWalk(rootFd, virtualPath, flags);
    }
    return fd;
}

int openParentBelowRoot(int rootFd, std::string_view virtualPath, std::string *leaf, Resolution resolution) {
    std::vector<std::string_view> components = componentsOf(virtualPath);
    if (components.empty()) return -EPERM;
    std::string_view last = components.back();
    if (last == "." || last == "..") return -EPERM;
    std::string parent;
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        parent.push_back('/');
        parent.append(components[i]);
    }
    int fd = openBelowRoot(rootFd, parent.empty() ? "/" : parent, O_PATH | O_DIRECTORY, resolution);
    if (fd >= 0) *leaf = std::string(last);
    return fd;
}

std::string leafName(std::string_view virtualPath) {
    std::vector<std::string_view> components = componentsOf(virtualPath);
    return components.empty() ? std::string("/") : std::string(components.back());
}

}  // namespace osprel
