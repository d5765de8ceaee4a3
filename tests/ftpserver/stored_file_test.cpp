// An upload's file: invisible until published, published whole in one
// step, and leaving nothing behind when given up; with O_TMPFILE and with
// the hidden name used where the file system lacks it.
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

#include "Listing.h"
#include "StoredFile.h"

using osprel::StoredFile;
using Mode = StoredFile::Mode;
using Hiding = StoredFile::Hiding;

namespace {

class StoredFileTest : public ::testing::TestWithParam<Hiding> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/osprel-stored-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        dirFd_ = open(pattern, O_PATH | O_DIRECTORY);
        ASSERT_GE(dirFd_, 0);
    }
    void TearDown() override {
        close(dirFd_);
        ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    }

    void put(const std::string &name, const std::string &content, mode_t mode = 0644) {
        int fd = openat(dirFd_, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ASSERT_EQ(fchmod(fd, mode), 0);
        close(fd);
    }
    std::string content(const std::string &name) {
        int fd = openat(dirFd_, name.c_str(), O_RDONLY);
        std::string text;
        char buffer[256];
        for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        if (fd >= 0) close(fd);
        return fd >= 0 ? text : "(missing)";
    }
    // Every name in the directory, as the host sees it.
    std::set<std::string> names() {
        std::set<std::string> found;
        DIR *directory = opendir(dir_.c_str());
        for (dirent *item; (item = readdir(directory)) != nullptr;)
            if (std::string(item->d_name) != "." && std::string(item->d_name) != "..") found.insert(item->d_name);
        closedir(directory);
        return found;
    }
    // The names a client's listing shows.
    std::set<std::string> listed() {
        std::set<std::string> found;
        osprel::DirectoryReader reader(dirFd_);
        for (osprel::ListEntry entry; reader.next(&entry);) found.insert(entry.name);
        return found;
    }
    void write(StoredFile &file, const std::string &data) {
        ASSERT_EQ(::write(file.fd(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }

    std::string dir_;
    int dirFd_ = -1;
};

}  // namespace

TEST_P(StoredFileTest, AReplacementIsInvisibleUntilPublishedThenWholeWithTheOldPermissions) {
    put("a", "old", 0640);
    StoredFile file;
    ASSERT_EQ(file.open(dirFd_, "a", Mode::kReplace, 0, GetParam()), 0);
    write(file, "new data");
    EXPECT_EQ(content("a"), "old");
    EXPECT_EQ(listed(), std::set<std::string>{"a"});
    EXPECT_EQ(names().size(), GetParam() == Hiding::kNamedOnly ? 2u : 1u);
    ASSERT_EQ(file.publish(true), 0);
    EXPECT_EQ(content("a"), "new data");
    EXPECT_EQ(names(), std::set<std::string>{"a"});
    struct stat info;
    ASSERT_EQ(fstatat(dirFd_, "a", &info, 0), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_P(StoredFileTest, TwoWritersOfOneNameEachStayWholeAndTheLastToFinishWins) {
    StoredFile first;
    StoredFile second;
    ASSERT_EQ(first.open(dirFd_, "a", Mode::kReplace, 0, GetParam()), 0);
    ASSERT_EQ(second.open(dirFd_, "a", Mode::kReplace, 0, GetParam()), 0);
    write(first, "first");
    write(second, "second");
    ASSERT_EQ(second.publish(false), 0);
    EXPECT_EQ(content("a"), "second");
    ASSERT_EQ(first.publish(false), 0);
    EXPECT_EQ(content("a"), "first");
    EXPECT_EQ(names(), std::set<std::string>{"a"});
}

TEST_P(StoredFileTest, GivenUpLeavesNothingAndTheOldFileAsItWas) {
    put("a", "old");
    {
        StoredFile discarded;
        ASSERT_EQ(discarded.open(dirFd_, "a", Mode::kReplace, 0, GetParam()), 0);
        write(discarded, "partial");
        discarded.discard();
        StoredFile dropped;  // destroyed unpublished
        ASSERT_EQ(dropped.open(dirFd_, "b", Mode::kReplace, 0, GetParam()), 0);
        write(dropped, "partial");
    }
    EXPECT_EQ(names(), std::set<std::string>{"a"});
    EXPECT_EQ(content("a"), "old");
}

TEST_P(StoredFileTest, AUniqueNameIsNeverReplaced) {
    StoredFile file;
    ASSERT_EQ(file.open(dirFd_, "up", Mode::kUnique, 0, GetParam()), 0);
    std::string name = file.uniqueName();
    ASSERT_EQ(name.size(), 11u);
    EXPECT_EQ(name.substr(0, 3), "up.");
    write(file, "mine");
    // Someone takes the name before the upload ends.
    put(name, "theirs");
    EXPECT_EQ(file.publish(true), EEXIST);
    EXPECT_EQ(content(name), "theirs");
    EXPECT_EQ(names(), std::set<std::string>{name});

    StoredFile other;
    ASSERT_EQ(other.open(dirFd_, "up", Mode::kUnique, 0, GetParam()), 0);
    EXPECT_NE(other.uniqueName(), name);
    write(other, "mine");
    ASSERT_EQ(other.publish(true), 0);
    EXPECT_EQ(content(other.uniqueName()), "mine");
}

TEST_P(StoredFileTest, OnlyRegularFilesAreWrittenOrReplaced) {
    ASSERT_EQ(mkdirat(dirFd_, "dir", 0755), 0);
    ASSERT_EQ(symlinkat("a", dirFd_, "link"), 0);
    ASSERT_EQ(mkfifoat(dirFd_, "fifo", 0644), 0);
    auto refusal = [this](const char *name, Mode mode) {
        StoredFile file;
        return file.open(dirFd_, name, mode, 0, GetParam());
    };
    for (Mode mode : {Mode::kReplace, Mode::kInPlace}) {
        EXPECT_EQ(refusal("dir", mode), EISDIR);
        EXPECT_EQ(refusal("link", mode), ELOOP);
        EXPECT_EQ(refusal("fifo", mode), EINVAL);
    }
    EXPECT_EQ(names(), (std::set<std::string>{"dir", "fifo", "link"}));
}

TEST_P(StoredFileTest, AFileTheServerMayNotWriteIsNotReplacedEither) {
    put("a", "old", 0444);
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    // Not as root, whom permissions do not stop.
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) _exit(2);
        StoredFile file;
        _exit(file.open(dirFd_, "a", Mode::kReplace, 0, GetParam()) == EACCES ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(content("a"), "old");
}

TEST_P(StoredFileTest, InPlaceWritesFromTheRestartOffsetOrTheEnd) {
    put("a", "0123456789");
    StoredFile appended;
    ASSERT_EQ(appended.open(dirFd_, "a", Mode::kInPlace, StoredFile::kAtEnd, GetParam()), 0);
    EXPECT_EQ(appended.writeOffset(), 10);
    write(appended, "+");
    appended.discard();  // what arrived stays
    EXPECT_EQ(content("a"), "0123456789+");
    StoredFile restarted;
    ASSERT_EQ(restarted.open(dirFd_, "a", Mode::kInPlace, 4, GetParam()), 0);
    EXPECT_EQ(restarted.writeOffset(), 4);
    write(restarted, "x");
    ASSERT_EQ(restarted.publish(true), 0);
    EXPECT_EQ(content("a"), "0123x");
}

INSTANTIATE_TEST_SUITE_P(Hiding, StoredFileTest, ::testing::Values(Hiding::kAutomatic, Hiding::kNamedOnly),
                         [](const auto &info) {
                             return std::string(info.param == Hiding::kAutomatic ? "Unnamed" : "HiddenName");
                         });
