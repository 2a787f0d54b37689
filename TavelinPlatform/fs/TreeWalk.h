#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "DirectoryListing.h"
#include "SystemError.h"
#include "UniqueFd.h"

namespace tavelin {

// How many folder handles a walk keeps open at most (plus one while it climbs back up).
// Deeper walks close the handles of the folders farthest up and re-open them through ".."
// on the way back, so any depth fits into a small descriptor budget.
inline constexpr std::size_t defaultMaxOpenFolders = 32;

enum class WalkMode {
    measure,  // add up the allocated size of every entry; skip what cannot be read
    remove,   // the same, removing each entry once measured; stop at the first failure
};

struct TreeWalkResult {
    // st_blocks * 512 summed over every entry below the top folder (not the top folder
    // itself), stopping at INT64_MAX.
    std::int64_t bytes = 0;
    // remove: the first failure, after which the walk stopped. measure: set only when the
    // walk could not safely go on (a folder found moved while climbing back up).
    std::optional<SystemError> error;
};

// Walks everything below the folder open as `top` (a handle that can be read, not O_PATH)
// without recursion and without ever following a symbolic link: each entry is examined
// with fstatat(AT_SYMLINK_NOFOLLOW) and entered with openat(O_NOFOLLOW | O_DIRECTORY)
// relative to its folder's handle, and removed with unlinkat on that handle. Folders on
// another file system than `top` are measured but not entered (and so cannot be removed).
// A handle re-opened through ".." must be the remembered folder (device and inode), or the
// walk ends with ESTALE. On success in remove mode, `top` is left empty; the caller removes
// `top` itself.
[[nodiscard]] TreeWalkResult walkTree(UniqueFd top, WalkMode mode,
                                      std::size_t maxOpenFolders = defaultMaxOpenFolders);

}  // namespace tavelin
