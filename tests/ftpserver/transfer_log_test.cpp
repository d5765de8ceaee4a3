// The transfer log: its exact lines, and its file through rotation and
// failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "capture.h"
#include "transfer/TransferLog.h"

using osprel::TransferDirection;
using osprel::TransferLog;
using osprel::transferLogLine;
using osprel::TransferRecord;

namespace {

constexpr time_t kNewYear2000 = 946684800;
const TransferRecord kDownload{.finished = kNewYear2000, .took = std::chrono::milliseconds(2300),
                               .remoteHost = "192.0.2.7", .bytes = 1048576, .path = "/pub/a.bin", .binary = true,
                               .anonymous = true, .user = "anonymous", .complete = true};

std::string contents(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::string bytes = fd >= 0 ? readAll(fd) : std::string();
    if (fd >= 0) close(fd);
    return bytes;
}

class TransferLogFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void SetUp() override {
        ASSERT_NE(mkdtemp(directory_), nullptr);
        path_ = std::string(directory_) + "/xferlog";
    }
    void TearDown() override {
        for (const char *name : {"/xferlog", "/xferlog.1"}) unlink((directory_ + std::string(name)).c_str());
        rmdir(directory_);
    }
    std::unique_ptr<TransferLog> openLog() {
        std::string error;
        auto log = TransferLog::open(path_, &error);
        EXPECT_NE(log, nullptr) << error;
        return log;
    }

    char directory_[32] = "/tmp/osprel-xferlog-XXXXXX";
    std::string path_;
};

const char kDownloadLine[] = "Sat Jan  1 00:00:00 2000 2 192.0.2.7 1048576 /pub/a.bin b _ o a anonymous ftp 0 * c\n";

}  // namespace

TEST_F(TransferLogFile, EachKindOfTransferIsOneLine) {
    EXPECT_EQ(transferLogLine(kDownload), kDownloadLine);
    TransferRecord upload{.finished = kNewYear2000 + 86400 * 40 + 3661, .took = std::chrono::microseconds(1),
                          .remoteHost = "192.0.2.7", .bytes = 12, .path = "/in/b.txt",
                          .direction = TransferDirection::kIncoming, .user = "alice"};
    EXPECT_EQ(transferLogLine(upload), "Thu Feb 10 01:01:01 2000 1 192.0.2.7 12 /in/b.txt a _ i r alice ftp 0 * i\n");
    TransferRecord deletion = upload;
    deletion.took = {};
    deletion.direction = TransferDirection::kDeleted;
    deletion.complete = true;
    EXPECT_EQ(transferLogLine(deletion), "Thu Feb 10 01:01:01 2000 0 192.0.2.7 12 /in/b.txt a _ d r alice ftp 0 * c\n");
}

TEST_F(TransferLogFile, NamesWithBlanksAndControlBytesKeepTheFields) {
    TransferRecord record = kDownload;
    record.path = "/my file\t\\x\r\n\x7f/\xc3\xa9.txt";
    record.user = "a b";
    EXPECT_EQ(transferLogLine(record),
              "Sat Jan  1 00:00:00 2000 2 192.0.2.7 1048576 /my\\040file\\011\\134x\\015\\012\\177/\xc3\xa9.txt "
              "b _ o a a\\040b ftp 0 * c\n");
    record = kDownload;
    record.user = "";
    EXPECT_EQ(transferLogLine(record),
              "Sat Jan  1 00:00:00 2000 2 192.0.2.7 1048576 /pub/a.bin b _ o a - ftp 0 * c\n");
}

TEST_F(TransferLogFile, AppendsToAPrivateFileAndFollowsItsRotation) {
    {
        std::ofstream earlier(path_);
        earlier << "earlier\n";
    }
    auto log = openLog();
    ASSERT_NE(log, nullptr);
    log->write(kDownload);
    EXPECT_EQ(contents(path_), std::string("earlier\n") + kDownloadLine);

    // Rotated by renaming: the next line starts a new file, created private.
    ASSERT_EQ(rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    log->write(kDownload);
    EXPECT_EQ(contents(path_ + ".1"), std::string("earlier\n") + kDownloadLine);
    EXPECT_EQ(contents(path_), kDownloadLine);
    struct stat info;
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Removed: the same.
    ASSERT_EQ(unlink(path_.c_str()), 0);
    log->write(kDownload);
    EXPECT_EQ(contents(path_), kDownloadLine);
}

TEST_F(TransferLogFile, RefusesWhatItCannotOpenOrShouldNot) {
    std::string error;
    EXPECT_EQ(TransferLog::open(std::string(directory_) + "/none/xferlog", &error), nullptr);
    EXPECT_EQ(error, "cannot open the transfer log, " + std::string(directory_) +
                         "/none/xferlog: No such file or directory");
    EXPECT_EQ(TransferLog::open(directory_, &error), nullptr);
    EXPECT_EQ(error, "cannot open the transfer log, " + std::string(directory_) + ": not a regular file");
    ASSERT_EQ(symlink("/dev/null", path_.c_str()), 0);
    EXPECT_EQ(TransferLog::open(path_, &error), nullptr);
    EXPECT_EQ(error, "cannot open the transfer log, " + path_ + ": not a regular file");
}

TEST_F(TransferLogFile, FailuresAreReportedOnceAndLinesGoOn) {
    const std::string filled(64 << 10, 'x');
    {
        std::ofstream earlier(path_);
        earlier << filled;
    }
    auto log = openLog();
    ASSERT_NE(log, nullptr);
    // The log cannot grow (as on a full disk), the captured errors can: the
    // lines fail, with one report.
    signal(SIGXFSZ, SIG_IGN);
    rlimit unlimited;
    getrlimit(RLIMIT_FSIZE, &unlimited);
    rlimit full = unlimited;
    full.rlim_cur = filled.size();
    setrlimit(RLIMIT_FSIZE, &full);
    CapturedFd err(2);
    log->write(kDownload);
    log->write(kDownload);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    log->write(kDownload);
    // A path that can no longer be opened: the lines go on into the open file.
    ASSERT_EQ(rename(path_.c_str(), (path_ + ".1").c_str()), 0);
    ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
    log->write(kDownload);
    log->write(kDownload);
    EXPECT_EQ(err.take(), "osprel: cannot write the transfer log, " + path_ + ": File too large\n" +
                              "osprel: cannot reopen the transfer log, " + path_ +
                              ": not a regular file; lines go on into the file it was\n");
    EXPECT_EQ(contents(path_ + ".1"), filled + kDownloadLine + kDownloadLine + kDownloadLine);
    rmdir(path_.c_str());
}
