// Directory listings: LIST in `ls -l` form, NLST names, and the RFC 3659
// facts of MLSD and MLST.  Times are UTC.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <string>
#include <vector>

namespace osprel {

struct ListEntry {
    std::string name;
    struct stat info {};
    std::string linkTarget;  // for symbolic links
};

// Reads a directory one entry at a time, "." and "..", and the hidden files
// of uploads still running (HiddenUploadName.h), left out, symbolic links
// described, not followed.  A directory whose names fit in
// kSortedBytes comes sorted by name; a bigger one in the directory's own
// order, so memory never grows with the directory's size.
class DirectoryReader {
public:
    static constexpr size_t kSortedBytes = size_t{64} << 10;

    // Reads the directory dirFd refers to (the caller keeps dirFd).  With a
    // pattern (see Wildcard.h), only the names it matches.
    explicit DirectoryReader(int dirFd, std::string pattern = std::string());
    ~DirectoryReader();
    DirectoryReader(const DirectoryReader &) = delete;
    DirectoryReader &operator=(const DirectoryReader &) = delete;

    // False when the directory cannot be read (errno set).
    bool isOpen() const { return directory_ != nullptr; }

    // The next entry; false at the end or on a read error (then failed()).
    // A file removed since the directory was read is skipped.
    bool next(ListEntry *entry);
    bool failed() const { return error_ != 0; }

private:
    bool nextName(std::string *name);
    bool readName(std::string *name);

    DIR *directory_ = nullptr;
    std::string pattern_;
    std::vector<std::string> firstNames_;  // read ahead to sort
    size_t served_ = 0;
    int error_ = 0;
};

// Describes one file below dirFd (not following a last symbolic link).
bool describeEntry(int dirFd, const std::string &name, ListEntry *entry);

// One `ls -l` line, CRLF-terminated.  Files changed within about six months
// of `now` show the time of day, older or future ones the year.
std::string listLine(const ListEntry &entry, time_t now);

// MLSx facts selected by OPTS MLST.
struct FactSelection {
    bool type = true;
    bool size = true;
    bool modify = true;
    bool perm = true;
};

// "type=file;size=12;modify=20150924173135;perm=adfrw; " without the name,
// the perm fact as the session's rights (Rights.h) allow.  typeOverride
// replaces the type fact (for "cdir").
std::string mlsxFacts(const ListEntry &entry, const FactSelection &facts, unsigned rights,
                      const char *typeOverride = nullptr);

// Applies an OPTS MLST argument ("type;size;"); unknown facts are ignored.
// Returns the text of the facts now selected, "type;size;".
std::string selectFacts(const std::string &argument, FactSelection *facts);

// The supported facts as FEAT shows them, selected ones marked with '*'.
std::string featFacts(const FactSelection &facts);

// "20150924173135" (UTC), as MDTM and the modify fact give it.
std::string timestampText(time_t when);

// A name made safe for one line of a listing: CR and LF become '?'.
std::string listingName(const std::string &name);

}  // namespace osprel
