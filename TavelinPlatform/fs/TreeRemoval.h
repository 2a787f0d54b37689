#pragma once

#include <cstdint>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/fs/RemovalHelpers.h"

namespace tavelin {

// Removes the item `name` of the folder open as `parentFd`: a folder with everything in it
// (removeContents, then rmdir of the folder itself), anything else, a symbolic link
// included, with one unlinkat. `mustBeFolder` (the client wrote a trailing slash) makes a
// non-folder fail with ENOTDIR.
//
// The item must be on the mount of `parentFd`: a mount point (a folder or a file mounted
// at `name`, a bind mount of the same file system included) fails with EXDEV and nothing
// is touched. Below a folder, removeContents leaves whatever is mounted in place.
//
// Answers the bytes the item occupied, measured in the same walk just before each entry
// went: for a non-folder its st_size, for a folder the allocated size below it. Fails
// with the first error (the walk stops there; what went before stays removed); the bytes
// are then dropped, because the item was not removed.
//
// A folder's walk may share the work with `helpers` (see removeContents); null: alone.
[[nodiscard]] Expected<std::int64_t, SystemError> removeItem(int parentFd, const char* name,
                                                             bool mustBeFolder,
                                                             RemovalHelpers* helpers = nullptr);

}  // namespace tavelin
