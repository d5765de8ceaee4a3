// Every path a client names is resolved here, and only here, so that no
// "..", absolute path or symbolic link can lead outside the served root.
//
// A client path is first made a virtual path: absolute from the served root,
// normalised without the file system ("." dropped, ".." removes the previous
// component and stops at "/").  The virtual path is then opened below the
// root's descriptor by the kernel with openat2(RESOLVE_IN_ROOT), where
// symbolic links resolve as if the root were "/", or, on kernels without
// openat2, by a walk one component at a time with O_NOFOLLOW that refuses
// symbolic links altogether.
#pragma once

#include <string>
#include <string_view>

namespace osprel {

// Joins argument to the virtual directory cwd and normalises the result.
// Returns false for an argument no file can have: one holding a NUL byte,
// or one naming an upload's hidden file (HiddenUploadName.h).
// An empty argument names cwd itself.
bool virtualPathFor(std::string_view cwd, std::string_view argument, std::string *result);

enum class Resolution {
    kAutomatic,  // openat2 where the kernel has it, else the walk
    kKernel,     // openat2 with RESOLVE_IN_ROOT only
    kWalk,       // the O_NOFOLLOW walk only
};

// Opens the virtual path below rootFd with the open flags given (O_CREAT
// is not allowed here: creation goes through openParentBelowRoot).  Returns
// the new descriptor (close-on-exec), or -errno.
int openBelowRoot(int rootFd, std::string_view virtualPath, int flags,
                  Resolution resolution = Resolution::kAutomatic);

// Opens the directory holding the virtual path's last component and puts
// that component in *leaf, for creating, removing and renaming through the
// parent's descriptor.  The root has no parent: "/" gives -EPERM.  Returns
// the directory's descriptor, or -errno.
int openParentBelowRoot(int rootFd, std::string_view virtualPath, std::string *leaf,
                        Resolution resolution = Resolution::kAutomatic);

// The last component of a virtual path ("/" for the root).
std::string leafName(std::string_view virtualPath);

}  // namespace osprel
