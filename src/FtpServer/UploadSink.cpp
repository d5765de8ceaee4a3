#include "UploadSink.h"

namespace osprel {

UploadSink::UploadSink(const ServerConfig &config) : config_(config), limits_(config, 0) {}

int UploadSink::open(int parentFd, const std::string &leaf, StoredFile::Mode mode, off_t offset, int creation) {
    // Before the file is opened, which may empty it.
    if (int refused = limits_.checkStart(parentFd, 0); refused != 0) return refused;
    if (int error = file_.open(parentFd, leaf, mode, offset, creation); error != 0) return error;
    limits_ = UploadLimits(config_, file_.writeOffset());
    return 0;
}

int UploadSink::admit(size_t bytes) { return limits_.admit(file_.fd(), bytes); }

int UploadSink::finish() { return file_.publish(config_.syncUploads); }

void UploadSink::abandon() { file_.discard(); }

}  // namespace osprel
