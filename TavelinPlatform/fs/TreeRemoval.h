#pragma once

#include <cstdint>

#include "FsResult.h"
#include "TreeWalk.h"

namespace tavelin {

// Removes the entry `name` of the folder open as `parentFd`: a folder with everything in
// it (walkTree, then rmdir of the folder itself), anything else, a symbolic link included,
// with one unlinkat. `mustBeFolder` (the client wrote a trailing slash) makes a non-folder
// fail with ENOTDIR.
//
// Answers the bytes measureEntry() would have given just before the removal, measured in
// the same walk: for a non-folder its st_size, for a folder the allocated size below it.
// Fails with the first error (the walk stops there; what went before stays removed); the
// bytes are then dropped, because the entry was not removed.
[[nodiscard]] FsResult<std::int64_t> removeEntry(int parentFd, const char* name, bool mustBeFolder);

}  // namespace tavelin
