#include "transfer/UploadSink.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace osprel {

namespace {

// With the sync on, written data goes on to the disk in pieces of this size
// while the upload runs, so the fsync before the 226 waits for the last
// piece only, not for the whole file.
constexpr off_t kWriteBehind = off_t{8} << 20;

// Where the upload will start writing, known before the file is opened:
// appending starts at the file's present end (0 for a name that is no
// regular file yet; opening refuses anything else).
off_t startBeforeOpening(int parentFd, const std::string &leaf, off_t offset) {
    if (offset != StoredFile::kAtEnd) return offset;
    struct stat info;
    bool regular = fstatat(parentFd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
    return regular ? info.st_size : 0;
}

}  // namespace

UploadSink::UploadSink(const ServerConfig &config) : config_(config), limits_(config, 0) {}

// Every refusal of ours comes before the file is opened, which may create,
// empty or cut it: a refused upload changes nothing.  A file that grows
// between the look and the open only moves where appending starts; the
// limits then count from there, and admit() refuses before a byte is
// written.  Space that others take meanwhile is admit()'s to refuse too, but
// by then a resumed file is cut at its offset, as a cut transfer leaves it.
int UploadSink::open(int parentFd, const std::string &leaf, StoredFile::Mode mode, off_t offset, int creation) {
    limits_ = UploadLimits(config_, startBeforeOpening(parentFd, leaf, offset));
    if (int refused = limits_.checkStart(parentFd, 0); refused != 0) return refused;
    if (int error = file_.open(parentFd, leaf, mode, offset, creation); error != 0) return error;
    limits_ = UploadLimits(config_, file_.writeOffset());
    written_ = flushing_ = file_.writeOffset();
    return 0;
}

int UploadSink::admit(size_t bytes) {
    writeBehind();
    int refused = limits_.admit(file_.fd(), bytes);
    if (refused == 0) written_ += static_cast<off_t>(bytes);
    return refused;
}

// Starts the write-out of what was written since the last start, without
// waiting for it: the disk works while the network does.  Failures are left
// to the fsync, which reports them.
void UploadSink::writeBehind() {
    if (!config_.syncUploads || written_ - flushing_ < kWriteBehind) return;
    sync_file_range(file_.fd(), flushing_, written_ - flushing_, SYNC_FILE_RANGE_WRITE);
    flushing_ = written_;
}

int UploadSink::finish() { return file_.publish(config_.syncUploads); }

void UploadSink::abandon() { file_.discard(); }

}  // namespace osprel
