// The file an upload writes into, and how it becomes the stored file.
//
// A new or replacing upload writes into a file nobody can see under the
// target's name: an unnamed file made in the target's directory with
// O_TMPFILE, or where the file system lacks those a hidden name (see
// isHiddenUploadName) that listings leave out and no client path reaches.
// Only publish() makes it the target: linked under its name, or renamed over
// the file it replaces in one step, so a reader sees the old file or the new
// one, whole, never a part.  A resumed upload (REST, APPE) writes into the
// named file itself.  Errors are errno values, for the caller to report.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <string>

#include "files/HiddenUploadName.h"
#include "net/DataConnection.h"

namespace osprel {

class StoredFile {
public:
    enum class Mode {
        kReplace,  // a new file, published under the name, replacing a file there
        kUnique,   // a new file under a name of its own (uniqueName()), never replacing
        kInPlace,  // the named file itself, written from writeOffset()
    };
    // kNamedOnly uses the hidden name even where O_TMPFILE works (for tests).
    enum class Hiding { kAutomatic, kNamedOnly };
    // kInPlace's offset for appending at the file's end.
    static constexpr off_t kAtEnd = -1;

    StoredFile() = default;
    // Discards a file not published.
    ~StoredFile();
    StoredFile(const StoredFile &) = delete;
    StoredFile &operator=(const StoredFile &) = delete;

    // Opens the file an upload of `name` in directory dirFd writes into (the
    // file keeps a descriptor of dirFd's own).  kUnique: name is the stem of
    // the name chosen.  kInPlace: writing starts at offset, the rest of the
    // file cut off (0: the file emptied; kAtEnd: appended).  creation says
    // what may happen to the name, as open's flags would: O_CREAT it may be
    // made or replaced, O_CREAT | O_EXCL only made (EEXIST), 0 only an
    // existing file replaced (ENOENT); at publish() too.  A name there that
    // is no regular file is refused (EISDIR, ELOOP or EINVAL), as is a file
    // the server may not write (EACCES); a file replaced passes its
    // permissions, and its owner where allowed, to the new one.  Returns 0
    // or an errno; call once.
    int open(int dirFd, const std::string &name, Mode mode, off_t offset = 0, int creation = O_CREAT,
             Hiding hiding = Hiding::kAutomatic);

    // The descriptor to write the data to.
    int fd() const { return file_.get(); }
    // Where writing starts: the size the file has before the first byte.
    off_t writeOffset() const { return writeOffset_; }
    // kUnique: the name it gets, free when chosen.
    const std::string &uniqueName() const { return name_; }

    // Makes the complete file the stored file: synced to stable storage
    // first when sync is set, then published, then (sync) its directory
    // synced.  A name taken meanwhile where creation forbids replacing (and
    // always for kUnique) gives EEXIST; one gone where it forbids creating,
    // ENOENT.
    // On failure a new file is discarded.  Returns 0 or an errno.
    int publish(bool sync);

    // Gives the upload up: a new file leaves nothing behind, a file written
    // in place keeps what arrived.
    void discard();

private:
    int createHidden(Hiding hiding);
    int openInPlace(off_t offset);
    int link();
    int renameAsNew();
    int renameOverExisting();
    int linkHidden(std::string *hiddenName);
    int syncDirectory() const;

    UniqueFd directory_;
    UniqueFd file_;
    Mode mode_ = Mode::kReplace;
    int creation_ = O_CREAT;
    std::string name_;
    std::string hiddenName_;  // empty for an O_TMPFILE file
    off_t writeOffset_ = 0;
    bool finished_ = false;
};

}  // namespace osprel
