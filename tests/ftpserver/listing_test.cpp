// Listing formats, byte for byte, with a fixed "now".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "base/Rights.h"
#include "files/Listing.h"

using osprel::FactSelection;
using osprel::ListEntry;
using osprel::listLine;
using osprel::mlsxFacts;

namespace {

constexpr time_t kNow = 1443115895;  // Thu 24 Sep 2015 17:31:35 UTC

ListEntry entry(const char *name, mode_t mode, long long size, time_t mtime, unsigned links = 1) {
    ListEntry result;
    result.name = name;
    result.info.st_mode = mode;
    result.info.st_size = size;
    result.info.st_mtim.tv_sec = mtime;
    result.info.st_nlink = links;
    result.info.st_uid = 1000;
    result.info.st_gid = 100;
    return result;
}

}  // namespace

TEST(ListLine, RecentFileShowsTimeOfDayInUtc) {
    EXPECT_EQ(listLine(entry("a.txt", S_IFREG | 0644, 6, kNow - 60), kNow),
              "-rw-r--r--    1 1000     100                 6 Sep 24 17:30 a.txt\r\n");
}

TEST(ListLine, OldAndFutureFilesShowTheYear) {
    EXPECT_EQ(listLine(entry("old", S_IFREG | 0600, 5368709120LL, 946684800), kNow),
              "-rw-------    1 1000     100        5368709120 Jan  1  2000 old\r\n");
    EXPECT_EQ(listLine(entry("future", S_IFREG | 0644, 0, kNow + 86400 * 400), kNow),
              "-rw-r--r--    1 1000     100                 0 Oct 28  2016 future\r\n");
    // Just inside and just outside the six months.
    EXPECT_EQ(listLine(entry("f", S_IFREG | 0644, 0, kNow - 180 * 86400), kNow).substr(47),
              "Mar 28 17:31 f\r\n");
    EXPECT_EQ(listLine(entry("f", S_IFREG | 0644, 0, kNow - 185 * 86400), kNow).substr(47),
              "Mar 23  2015 f\r\n");
}

TEST(ListLine, DirectoriesLinksAndSpecialBits) {
    EXPECT_EQ(listLine(entry("my dir", S_IFDIR | 01777, 4096, kNow, 3), kNow),
              "drwxrwxrwt    3 1000     100              4096 Sep 24 17:31 my dir\r\n");
    ListEntry link = entry("to", S_IFLNK | 0777, 6, kNow);
    link.linkTarget = "target";
    EXPECT_EQ(listLine(link, kNow), "lrwxrwxrwx    1 1000     100                 6 Sep 24 17:31 to -> target\r\n");
    EXPECT_EQ(listLine(entry("s", S_IFREG | 06754, 1, kNow), kNow).substr(0, 10), "-rwsr-sr--");
    EXPECT_EQ(listLine(entry("S", S_IFREG | 06640, 1, kNow), kNow).substr(0, 10), "-rwSr-S---");
    EXPECT_EQ(listLine(entry("T", S_IFDIR | 01770, 1, kNow), kNow).substr(0, 10), "drwxrwx--T");
    EXPECT_EQ(listLine(entry("p", S_IFIFO | 0644, 0, kNow), kNow).substr(0, 10), "prw-r--r--");
}

TEST(ListLine, LineBreaksInNamesCannotForgeLines) {
    EXPECT_EQ(listLine(entry("a\r\nb", S_IFREG | 0644, 1, kNow), kNow),
              "-rw-r--r--    1 1000     100                 1 Sep 24 17:31 a??b\r\n");
}

TEST(MlsxFacts, FactsForFilesAndDirectoriesAsTheRightsAllow) {
    using osprel::kAllRights;
    using osprel::kRead;
    using osprel::kWrite;
    FactSelection all;
    EXPECT_EQ(mlsxFacts(entry("f", S_IFREG | 0644, 12, kNow), all, kAllRights),
              "type=file;size=12;modify=20150924173135;perm=adfrw; ");
    EXPECT_EQ(mlsxFacts(entry("d", S_IFDIR | 0755, 4096, kNow), all, kAllRights),
              "type=dir;modify=20150924173135;perm=cdeflmp; ");
    EXPECT_EQ(mlsxFacts(entry("f", S_IFREG | 0644, 12, kNow), all, kRead),
              "type=file;size=12;modify=20150924173135;perm=r; ");
    EXPECT_EQ(mlsxFacts(entry("d", S_IFDIR | 0755, 4096, kNow), all, kRead), "type=dir;modify=20150924173135;perm=el; ");
    // New names but no changes: nothing to do to a file but read it.
    EXPECT_EQ(mlsxFacts(entry("f", S_IFREG | 0644, 12, kNow), all, kRead | kWrite),
              "type=file;size=12;modify=20150924173135;perm=r; ");
    EXPECT_EQ(mlsxFacts(entry("d", S_IFDIR | 0755, 4096, kNow), all, kRead | kWrite),
              "type=dir;modify=20150924173135;perm=celm; ");
    EXPECT_EQ(mlsxFacts(entry("l", S_IFLNK | 0777, 3, kNow), all, kAllRights),
              "type=OS.unix=symlink;size=3;modify=20150924173135;perm=adfrw; ");
}

TEST(MlsxFacts, OptsMlstSelectsFacts) {
    FactSelection facts;
    EXPECT_EQ(osprel::selectFacts("SIZE;Modify;unknown;", &facts), "size;modify;");
    EXPECT_EQ(mlsxFacts(entry("f", S_IFREG | 0644, 12, kNow), facts, osprel::kAllRights),
              "size=12;modify=20150924173135; ");
    EXPECT_EQ(osprel::featFacts(facts), "type;size*;modify*;perm;");
    EXPECT_EQ(osprel::selectFacts("", &facts), "");
    EXPECT_EQ(mlsxFacts(entry("f", S_IFREG | 0644, 12, kNow), facts, osprel::kAllRights), " ");
}

namespace {

std::vector<ListEntry> readAll(const std::string &dir, const std::string &pattern = std::string()) {
    int fd = open(dir.c_str(), O_PATH | O_DIRECTORY);
    osprel::DirectoryReader reader(fd, pattern);
    close(fd);
    std::vector<ListEntry> entries;
    for (ListEntry entry; reader.next(&entry);) entries.push_back(entry);
    EXPECT_FALSE(reader.failed());
    return entries;
}

}  // namespace

TEST(DirectoryReader, SortedWithoutDotEntriesAndLinksNotFollowed) {
    char pattern[] = "/tmp/osprel-listing-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    // An upload's hidden file never shows.
    for (const char *name : {"b", "a", "c c", ".hidden", ".osprel-upload-0123456789abcdef"})
        close(open((dir + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644));
    ASSERT_EQ(symlink("/nonexistent/target", (dir + "/link").c_str()), 0);
    std::vector<ListEntry> entries = readAll(dir);
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].name, ".hidden");
    EXPECT_EQ(entries[1].name, "a");
    EXPECT_EQ(entries[2].name, "b");
    EXPECT_EQ(entries[3].name, "c c");
    EXPECT_EQ(entries[4].name, "link");
    EXPECT_TRUE(S_ISLNK(entries[4].info.st_mode));
    EXPECT_EQ(entries[4].linkTarget, "/nonexistent/target");
    // A pattern keeps the names it matches; hidden ones only when asked for.
    entries = readAll(dir, "[a-b]*");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].name, "b");
    EXPECT_EQ(readAll(dir, ".*").size(), 1u);

    // Past the sorting budget every name still comes exactly once.
    std::string many = dir + "/many";
    ASSERT_EQ(mkdir(many.c_str(), 0755), 0);
    size_t count = osprel::DirectoryReader::kSortedBytes / 64 + 100;
    for (size_t i = 0; i < count; ++i)
        close(open((many + "/" + std::string(60, 'n') + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
    std::set<std::string> names;
    for (const ListEntry &entry : readAll(many)) names.insert(entry.name);
    EXPECT_EQ(names.size(), count);
    ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}
