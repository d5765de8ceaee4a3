// Directory listings: LIST in `ls -l` form, NLST names, and the RFC 3659
// facts of MLSD and MLST.  Times are UTC.
#pragma once

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

// The entries of an open directory, "." and ".." left out, sorted by name.
// Symbolic links are described, not followed.  Returns false (errno set) when
// the directory cannot be read.
bool readDirectory(int dirFd, std::vector<ListEntry> *entries);

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

// "type=file;size=12;modify=20150924173135;perm=adfrw; " without the name.
// typeOverride replaces the type fact (for "cdir").
std::string mlsxFacts(const ListEntry &entry, const FactSelection &facts, bool readOnly,
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
