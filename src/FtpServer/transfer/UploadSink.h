// The file an upload writes into.  The session's STOR, APPE or STOU opens it
// and hands it to Transfer::receiveFile, which asks admit() before each
// piece it writes to fd() and then either finishes it (all data arrived) or
// abandons it (cut, refused, timed out, aborted): the one place where an
// upload is finished or abandoned.  How the file is made and published is
// StoredFile's, the limits it keeps UploadLimits'.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include <string>

#include "config/ServerConfig.h"
#include "files/StoredFile.h"
#include "files/UploadLimits.h"

namespace osprel {

class UploadSink {
public:
    // config must outlive the sink.
    explicit UploadSink(const ServerConfig &config);

    // Opens the upload of leaf in the directory parentFd as mode says
    // (kInPlace: from offset, or at the end with StoredFile::kAtEnd), with
    // creation the O_CREAT and O_EXCL the rights allow (uploadCreationFlags;
    // see StoredFile::open).  Only regular files; a last component that is a
    // link is never followed.  Refused before the file is touched (ENOSPC,
    // EFBIG) when not a byte more would fit above the reserve (or, with no
    // reserve, in the free space) or under the size cap from where writing
    // starts.  Returns 0 or an errno.
    int open(int parentFd, const std::string &leaf, StoredFile::Mode mode, off_t offset, int creation);

    int fd() const { return file_.fd(); }
    // kUnique: the name the file gets.
    const std::string &uniqueName() const { return file_.uniqueName(); }

    // Before `bytes` more are written to fd(): 0, or ENOSPC past the
    // reserve, EFBIG past the size cap, or the errno of a failed look.
    int admit(size_t bytes);

    // Everything arrived: the file synced (unless OSPREL_FTP_SYNC_UPLOADS=0)
    // and stored.  Returns 0 or an errno; a file that could not be stored
    // is then left as abandon() leaves it.
    int finish();
    // Not everything arrived: a new file leaves nothing behind; one written
    // in place keeps what did, so a client can resume from SIZE with REST or
    // APPE.
    void abandon();

private:
    void writeBehind();

    const ServerConfig &config_;
    StoredFile file_;
    UploadLimits limits_;
    // File offsets: the end of what was admitted, and where the last
    // write-out ended.
    off_t written_ = 0;
    off_t flushing_ = 0;
};

}  // namespace osprel
