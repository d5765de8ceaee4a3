// An upload's file with O_TMPFILE and with the hidden name used where the
// file system lacks it (the end-to-end tests' tmpfs has O_TMPFILE).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

#include "files/Listing.h"
#include "files/StoredFile.h"

using osprel::StoredFile;
using Mode = StoredFile::Mode;

namespace {

class StoredFileTest : public ::testing::TestWithParam<StoredFile::Hiding> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/osprel-stored-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        dirFd_ = ::open(pattern, O_PATH | O_DIRECTORY);
    }
    void TearDown() override {
        close(dirFd_);
        ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }
    void put(const std::string &name, const std::string &content, mode_t mode = 0644) {
        int fd = openat(dirFd_, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ASSERT_EQ(fchmod(fd, mode), 0);
        close(fd);
    }
    std::string content(const std::string &name) {
        char buffer[64] = {};
        int fd = openat(dirFd_, name.c_str(), O_RDONLY);
        ssize_t n = fd < 0 ? -1 : read(fd, buffer, sizeof buffer - 1);
        if (fd >= 0) close(fd);
        return n < 0 ? "(missing)" : buffer;
    }
    // Every name in the directory, as the host sees it.
    std::set<std::string> names() {
        std::set<std::string> found;
        DIR *directory = opendir(dir_.c_str());
        for (dirent *item; (item = readdir(directory)) != nullptr;) found.insert(item->d_name);
        closedir(directory);
        found.erase(".");
        found.erase("..");
        return found;
    }
    std::set<std::string> listed() {
        std::set<std::string> found;
        osprel::DirectoryReader reader(dirFd_);
        for (osprel::ListEntry entry; reader.next(&entry);) found.insert(entry.name);
        return found;
    }
    int start(StoredFile &file, const std::string &name, Mode mode, const std::string &data = "") {
        int error = file.open(dirFd_, name, mode, 0, O_CREAT, GetParam());
        if (error == 0 && write(file.fd(), data.data(), data.size()) != static_cast<ssize_t>(data.size())) return EIO;
        return error;
    }

    std::string dir_;
    int dirFd_ = -1;
};

}  // namespace

TEST_P(StoredFileTest, InvisibleUntilPublishedWholeOrGivenUpWithoutATrace) {
    put("a", "old", 0640);
    {
        StoredFile replacement, dropped;
        ASSERT_EQ(start(replacement, "a", Mode::kReplace, "new"), 0);
        ASSERT_EQ(start(dropped, "b", Mode::kReplace, "partial"), 0);
        EXPECT_EQ(content("a"), "old");
        EXPECT_EQ(listed(), std::set<std::string>{"a"});
        ASSERT_EQ(replacement.publish(true), 0);
    }
    EXPECT_EQ(content("a"), "new");
    EXPECT_EQ(names(), std::set<std::string>{"a"});
    struct stat info;
    ASSERT_EQ(fstatat(dirFd_, "a", &info, 0), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_P(StoredFileTest, WhatMayOnlyBeCreatedOrOnlyReplacedStaysSoUntilPublished) {
    StoredFile unique, created, replaced;
    ASSERT_EQ(start(unique, "up", Mode::kUnique, "mine"), 0);
    std::string name = unique.uniqueName();
    EXPECT_EQ(name.size(), 11u);
    ASSERT_EQ(created.open(dirFd_, "new", Mode::kReplace, 0, O_CREAT | O_EXCL, GetParam()), 0);
    put("old", "old");
    ASSERT_EQ(replaced.open(dirFd_, "old", Mode::kReplace, 0, 0, GetParam()), 0);
    // Meanwhile the names are taken, and the old file removed.
    put(name, "theirs");
    put("new", "theirs");
    ASSERT_EQ(unlinkat(dirFd_, "old", 0), 0);
    EXPECT_EQ(unique.publish(true), EEXIST);
    EXPECT_EQ(created.publish(true), EEXIST);
    EXPECT_EQ(replaced.publish(true), ENOENT);
    EXPECT_EQ(content(name), "theirs");
    EXPECT_EQ(content("new"), "theirs");
    EXPECT_EQ(names(), (std::set<std::string>{name, "new"}));
}

TEST_P(StoredFileTest, OnlyRegularFilesTheServerMayWriteAreReplaced) {
    ASSERT_EQ(mkdirat(dirFd_, "dir", 0755), 0);
    ASSERT_EQ(symlinkat("a", dirFd_, "link"), 0);
    ASSERT_EQ(mkfifoat(dirFd_, "fifo", 0644), 0);
    put("read-only", "old", 0444);
    for (auto [name, error] : {std::pair{"dir", EISDIR}, {"link", ELOOP}, {"fifo", EINVAL}}) {
        StoredFile file;
        EXPECT_EQ(start(file, name, Mode::kReplace), error) << name;
    }
    // Not as root, whom permissions do not stop.
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) _exit(2);
        StoredFile file;
        _exit(file.open(dirFd_, "read-only", Mode::kReplace, 0, O_CREAT, GetParam()) == EACCES ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(names(), (std::set<std::string>{"dir", "fifo", "link", "read-only"}));
}

INSTANTIATE_TEST_SUITE_P(Hiding, StoredFileTest,
                         ::testing::Values(StoredFile::Hiding::kAutomatic, StoredFile::Hiding::kNamedOnly));
