// libFuzzer target: a current directory and a client path (split at the
// first newline) through normalisation and both resolvers, against a tree
// with links pointing out.  Whatever opens must lie inside the root, and
// no path that normalisation accepts names an upload's hidden file.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "files/HiddenUploadName.h"
#include "files/PathResolver.h"

namespace {

std::string g_base;
std::string g_root;
int g_rootFd = -1;

void removeTree() { std::filesystem::remove_all(g_base); }

void require(bool condition) {
    if (!condition) abort();
}

void makeTree() {
    char pattern[] = "/tmp/osprel-fuzz-XXXXXX";
    require(mkdtemp(pattern) != nullptr);
    std::string base = pattern;
    g_base = base;
    atexit(removeTree);
    g_root = base + "/root";
    require(mkdir((base + "/outside").c_str(), 0755) == 0);
    require(mkdir(g_root.c_str(), 0755) == 0);
    require(mkdir((g_root + "/a").c_str(), 0755) == 0);
    require(mkdir((g_root + "/a/b").c_str(), 0755) == 0);
    close(open((g_root + "/a/f").c_str(), O_CREAT | O_WRONLY, 0644));
    close(open((base + "/outside/secret").c_str(), O_CREAT | O_WRONLY, 0644));
    require(symlink("../outside", (g_root + "/up").c_str()) == 0);
    require(symlink("../../outside/secret", (g_root + "/a/s").c_str()) == 0);
    require(symlink("/", (g_root + "/slash").c_str()) == 0);
    require(symlink(base.c_str(), (g_root + "/a/b/base").c_str()) == 0);
    require(symlink("..", (g_root + "/a/b/dd").c_str()) == 0);
    require(symlink("../..", (g_root + "/a/dd2").c_str()) == 0);
    g_rootFd = open(g_root.c_str(), O_PATH | O_DIRECTORY);
    require(g_rootFd >= 0);
    // The real path, as /proc shows opened files.
    char real[4096];
    require(realpath(g_root.c_str(), real) != nullptr);
    g_root = real;
}

void requireInside(int fd) {
    if (fd < 0) return;
    char link[64];
    char target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    require(length > 0);
    target[length] = '\0';
    std::string path = target;
    require(path == g_root || path.compare(0, g_root.size() + 1, g_root + "/") == 0);
    close(fd);
}

bool namesHiddenUpload(const std::string &path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (osprel::isHiddenUploadName(std::string_view(path).substr(start, slash - start))) return true;
        start = slash + 1;
    }
    return false;
}

void requireNormalised(const std::string &path) {
    require(!namesHiddenUpload(path));
    require(!path.empty() && path[0] == '/');
    require(path == "/" || path.back() != '/');
    require(path.find("//") == std::string::npos);
    require(path.find("/./") == std::string::npos && path.find("/../") == std::string::npos);
    require(!path.ends_with("/.") && !path.ends_with("/.."));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (g_rootFd < 0) makeTree();
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t split = input.find('\n');
    std::string cwdArgument = split == std::string::npos ? std::string() : input.substr(0, split);
    std::string argument = split == std::string::npos ? input : input.substr(split + 1);

    std::string cwd;
    if (!osprel::virtualPathFor("/", cwdArgument, &cwd)) return 0;
    requireNormalised(cwd);
    std::string path;
    if (!osprel::virtualPathFor(cwd, argument, &path)) {
        require(argument.find('\0') != std::string::npos || namesHiddenUpload(argument));
        return 0;
    }
    requireNormalised(path);

    for (auto resolution : {osprel::Resolution::kKernel, osprel::Resolution::kWalk}) {
        requireInside(osprel::openBelowRoot(g_rootFd, path, O_RDONLY | O_NONBLOCK, resolution));
        requireInside(osprel::openBelowRoot(g_rootFd, path, O_PATH, resolution));
        // Unnormalised text straight to the resolver must not get out either.
        requireInside(osprel::openBelowRoot(g_rootFd, argument, O_RDONLY | O_NONBLOCK, resolution));
        std::string leaf;
        int parent = osprel::openParentBelowRoot(g_rootFd, path, &leaf, resolution);
        if (parent >= 0) require(!leaf.empty() && leaf != "." && leaf != ".." && leaf.find('/') == std::string::npos);
        requireInside(parent);
    }
    return 0;
}
