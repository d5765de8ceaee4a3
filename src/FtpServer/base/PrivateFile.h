// Small files that hold secrets or decide who gets in (the TLS key, the
// accounts): read whole through one descriptor, so the mode checked is that
// of the bytes used, and wiped from memory when done with.
#pragma once

#include <sys/types.h>

#include <string>

namespace osprel {

// Neither a PEM chain, a key nor an accounts file comes near this.
constexpr size_t kMaxPrivateFile = size_t{1} << 20;

struct PrivateFile {
    std::string bytes;
    mode_t mode = 0;
    int cause = 0;  // errno when it could not be read
    ~PrivateFile();
};

// Reads the regular file at path (at most kMaxPrivateFile bytes).  Returns
// false with why in *reason ("No such file or directory", "not a regular
// file"...) and file->cause set.
bool readPrivateFile(const std::string &path, PrivateFile *file, std::string *reason);

// The permission bits as chmod takes them: "0640".
std::string modeText(mode_t mode);

}  // namespace osprel
