// Path resolution: lexical normalisation, and opening below the root by the
// kernel (openat2) and by the O_NOFOLLOW walk, against hostile trees.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "files/PathResolver.h"

using osprel::openBelowRoot;
using osprel::openParentBelowRoot;
using osprel::Resolution;
using osprel::virtualPathFor;

namespace {

std::string normalised(std::string_view cwd, std::string_view argument) {
    std::string result;
    EXPECT_TRUE(virtualPathFor(cwd, argument, &result));
    return result;
}

void writeFile(const std::string &path, const std::string &content) {
    FILE *file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    fputs(content.c_str(), file);
    fclose(file);
}

std::string contentOf(int fd) {
    std::string content;
    char buffer[256];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<size_t>(n));
    return content;
}

// <tmp>/outside/secret, and the served root <tmp>/root with:
//   inside.txt, dir/deep.txt, escape-abs -> <tmp>/outside/secret,
//   escape-rel -> ../outside/secret, escape-dir -> ../outside,
//   loop -> loop, fine -> dir/deep.txt, dirlink -> dir
class ResolverTree : public ::testing::TestWithParam<Resolution> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/osprel-resolver-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        ASSERT_EQ(mkdir((base_ + "/outside").c_str(), 0755), 0);
        writeFile(base_ + "/outside/secret", "secret");
        root_ = base_ + "/root";
        ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root_ + "/dir").c_str(), 0755), 0);
        writeFile(root_ + "/inside.txt", "inside");
        writeFile(root_ + "/dir/deep.txt", "deep");
        ASSERT_EQ(symlink((base_ + "/outside/secret").c_str(), (root_ + "/escape-abs").c_str()), 0);
        ASSERT_EQ(symlink("../outside/secret", (root_ + "/escape-rel").c_str()), 0);
        ASSERT_EQ(symlink("../outside", (root_ + "/escape-dir").c_str()), 0);
        ASSERT_EQ(symlink("loop", (root_ + "/loop").c_str()), 0);
        ASSERT_EQ(symlink("dir/deep.txt", (root_ + "/fine").c_str()), 0);
        ASSERT_EQ(symlink("dir", (root_ + "/dirlink").c_str()), 0);
        rootFd_ = open(root_.c_str(), O_PATH | O_DIRECTORY);
        ASSERT_GE(rootFd_, 0);
        int probe = openBelowRoot(rootFd_, "/", O_PATH, Resolution::kKernel);
        if (probe >= 0) close(probe);
        if (GetParam() == Resolution::kKernel && probe == -ENOSYS)
            GTEST_SKIP() << "openat2 answers ENOSYS here: a kernel before 5.6, or qemu-user, which does not "
                            "emulate it (the automatic resolution walks instead)";
    }
    void TearDown() override {
        close(rootFd_);
        std::string command = "rm -rf '" + base_ + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    // The content read through the resolver, or "" when it refused.
    std::string readThrough(const std::string &cwd, const std::string &argument) {
        std::string path;
        if (!virtualPathFor(cwd, argument, &path)) return "";
        int fd = openBelowRoot(rootFd_, path, O_RDONLY, GetParam());
        if (fd < 0) return "";
        std::string content = contentOf(fd);
        close(fd);
        return content;
    }

    std::string base_;
    std::string root_;
    int rootFd_ = -1;
};

}  // namespace

TEST(VirtualPath, NormalisesWithoutEverClimbingAboveTheRoot) {
    EXPECT_EQ(normalised("/", ""), "/");
    EXPECT_EQ(normalised("/a/b", ""), "/a/b");
    EXPECT_EQ(normalised("/a/b", "c"), "/a/b/c");
    EXPECT_EQ(normalised("/a/b", "/c"), "/c");
    EXPECT_EQ(normalised("/a/b", "../c"), "/a/c");
    EXPECT_EQ(normalised("/a/b", "../../../../c"), "/c");
    EXPECT_EQ(normalised("/a", "..//./../..//etc/passwd"), "/etc/passwd");
    EXPECT_EQ(normalised("/", "a/./b//c/"), "/a/b/c");
    EXPECT_EQ(normalised("/", "..."), "/...");
    EXPECT_EQ(normalised("/", "a b/ c "), "/a b/ c ");
    EXPECT_EQ(normalised("/", "\xc3\xa9t\xc3\xa9"), "/\xc3\xa9t\xc3\xa9");
    std::string result;
    EXPECT_FALSE(virtualPathFor("/", std::string("a\0b", 3), &result));
}

TEST(VirtualPath, UploadsStillRunningAreOutOfReach) {
    std::string result;
    EXPECT_FALSE(virtualPathFor("/", ".osprel-upload-0123456789abcdef", &result));
    EXPECT_FALSE(virtualPathFor("/a", "../b/.osprel-upload-ffffffffffffffff/", &result));
    // Only the exact pattern.
    EXPECT_EQ(normalised("/", ".osprel-upload-0123456789ABCDEF"), "/.osprel-upload-0123456789ABCDEF");
    EXPECT_EQ(normalised("/", ".osprel-upload-0123456789abcde"), "/.osprel-upload-0123456789abcde");
    EXPECT_EQ(normalised("/", "x.osprel-upload-0123456789abcdef"), "/x.osprel-upload-0123456789abcdef");
}

TEST_P(ResolverTree, OpensFilesInside) {
    EXPECT_EQ(readThrough("/", "inside.txt"), "inside");
    EXPECT_EQ(readThrough("/dir", "deep.txt"), "deep");
    EXPECT_EQ(readThrough("/dir", "../inside.txt"), "inside");
    EXPECT_EQ(readThrough("/", "/dir/deep.txt"), "deep");
}

TEST_P(ResolverTree, DotDotAndAbsolutePathsStayInside) {
    EXPECT_EQ(readThrough("/", "../outside/secret"), "");
    EXPECT_EQ(readThrough("/dir", "../../outside/secret"), "");
    EXPECT_EQ(readThrough("/", "/../outside/secret"), "");
    EXPECT_EQ(readThrough("/", base_ + "/outside/secret"), "");
    EXPECT_EQ(readThrough("/", "../root/inside.txt"), "");
}

TEST_P(ResolverTree, SymbolicLinksNeverLeadOut) {
    EXPECT_EQ(readThrough("/", "escape-abs"), "");
    EXPECT_EQ(readThrough("/", "escape-rel"), "");
    EXPECT_EQ(readThrough("/", "escape-dir/secret"), "");
    EXPECT_EQ(readThrough("/", "loop"), "");
    // The raw path, bypassing normalisation, is no way out either.
    for (const char *raw : {"/escape-dir/secret", "/dir/../../outside/secret", "/escape-rel"}) {
        int fd = openBelowRoot(rootFd_, raw, O_RDONLY, GetParam());
        std::string content = fd >= 0 ? contentOf(fd) : "";
        if (fd >= 0) close(fd);
        EXPECT_NE(content, "secret") << raw;
    }
}

TEST_P(ResolverTree, LinksInsideFollowedByTheKernelRefusedByTheWalk) {
    bool follows = GetParam() == Resolution::kKernel;
    EXPECT_EQ(readThrough("/", "fine"), follows ? "deep" : "");
    EXPECT_EQ(readThrough("/", "dirlink/deep.txt"), follows ? "deep" : "");
    // O_PATH, as listings open a path, gives the walk no link either.
    for (const char *link : {"/fine", "/escape-dir"}) {
        int fd = openBelowRoot(rootFd_, link, O_PATH, GetParam());
        if (fd >= 0) close(fd);
        if (!follows) {
            EXPECT_EQ(fd, -ELOOP) << link;
        }
    }
}

TEST_P(ResolverTree, ParentDescriptorAndLeafForChanges) {
    std::string leaf;
    int fd = openParentBelowRoot(rootFd_, "/dir/new.txt", &leaf, GetParam());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(leaf, "new.txt");
    int file = openat(fd, leaf.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW, 0644);
    EXPECT_GE(file, 0);
    close(file);
    close(fd);
    struct stat info;
    EXPECT_EQ(stat((root_ + "/dir/new.txt").c_str(), &info), 0);

    // The root has no parent; a missing or escaping parent gives no descriptor.
    EXPECT_EQ(openParentBelowRoot(rootFd_, "/", &leaf, GetParam()), -EPERM);
    EXPECT_LT(openParentBelowRoot(rootFd_, "/nowhere/x", &leaf, GetParam()), 0);
    fd = openParentBelowRoot(rootFd_, "/escape-dir/secret", &leaf, GetParam());
    if (fd >= 0) {
        struct stat parent;
        struct stat outside;
        ASSERT_EQ(fstat(fd, &parent), 0);
        ASSERT_EQ(stat((base_ + "/outside").c_str(), &outside), 0);
        EXPECT_FALSE(parent.st_ino == outside.st_ino && parent.st_dev == outside.st_dev);
        close(fd);
    }
}

TEST_P(ResolverTree, RefusesCreationFlagsAndNulBytes) {
    EXPECT_EQ(openBelowRoot(rootFd_, "/new", O_WRONLY | O_CREAT, GetParam()), -EINVAL);
    EXPECT_EQ(openBelowRoot(rootFd_, std::string("/inside.txt\0x", 13), O_RDONLY, GetParam()), -EINVAL);
}

// As in a container whose seccomp filter answers EPERM for openat2: the
// automatic resolution falls back to the walk.  Runs in a child process,
// which the filter cannot outlive.
TEST_P(ResolverTree, AutomaticResolutionWalksWhenOpenat2IsRefusedWithEperm) {
    if (GetParam() != Resolution::kKernel) return;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sock_filter rules[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{sizeof rules / sizeof rules[0], rules};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(2);
        if (openBelowRoot(rootFd_, "/inside.txt", O_RDONLY, Resolution::kKernel) != -EPERM) _exit(3);
        int fd = openBelowRoot(rootFd_, "/dir/deep.txt", O_RDONLY);
        _exit(fd >= 0 && contentOf(fd) == "deep" ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

INSTANTIATE_TEST_SUITE_P(BothWays, ResolverTree, ::testing::Values(Resolution::kKernel, Resolution::kWalk),
                         [](const ::testing::TestParamInfo<Resolution> &info) {
                             return info.param == Resolution::kKernel ? std::string("Openat2") : std::string("Walk");
                         });
