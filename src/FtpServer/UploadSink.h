// The file an upload writes into.  The session's STOR or APPE opens it and
// hands it to Transfer::receiveFile, which writes to fd() and then either
// finishes it (all data arrived) or abandons it (cut, refused, timed out,
// aborted): the one place where an upload is finished or abandoned.
#pragma once

#include <sys/types.h>

#include <string>

#include "DataConnection.h"

namespace osprel {

class UploadSink {
public:
    // Opens leaf in the directory parentFd for writing: from the start
    // (truncated), from offset on (what lies beyond it replaced), or at the
    // end (append).  Only regular files; a last component that is a link
    // is never followed.  Returns false when the file cannot be had so.
    bool open(int parentFd, const std::string &leaf, off_t offset, bool append);

    int fd() const { return file_.get(); }

    // Everything arrived.  False when the data may not all be in the file.
    bool finish();
    // Not everything arrived.  What did stays, so a client can resume from
    // SIZE with REST or APPE.
    void abandon();

private:
    UniqueFd file_;
};

}  // namespace osprel
