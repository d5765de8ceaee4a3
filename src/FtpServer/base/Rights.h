// What a logged-in session may do, as an accounts file line grants it:
// r lists and downloads, w creates new names, d changes what exists.
#pragma once

#include <errno.h>
#include <fcntl.h>

namespace osprel {

enum Right : unsigned {
    kRead = 1,    // LIST, NLST, MLSD, MLST, STAT of a path, RETR, SIZE, MDTM
    kWrite = 2,   // STOR of a new name, MKD
    kDelete = 4,  // STOR over a file, APPE, DELE, RMD, RNFR/RNTO, MFMT
};
constexpr unsigned kAllRights = kRead | kWrite | kDelete;

// The open flags an upload gets for its target name: with w alone it may
// only create (O_EXCL, so an existing file is never touched, whoever made it
// meanwhile), with d alone only replace an existing file, with both either.
inline int uploadCreationFlags(unsigned rights) {
    if ((rights & kWrite) == 0) return 0;
    return (rights & kDelete) != 0 ? O_CREAT : O_CREAT | O_EXCL;
}

// Whether an upload's open failed with error only because the rights
// forbade it (the name existed, or did not).
inline bool uploadRefusedByRights(int error, unsigned rights) {
    return (error == EEXIST && (rights & kDelete) == 0) || (error == ENOENT && (rights & kWrite) == 0);
}

}  // namespace osprel
