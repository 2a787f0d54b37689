#pragma once

#include <cstddef>
#include <cstdint>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/fs/RemovalHelpers.h"

namespace tavelin {

// How many folder handles a removal keeps open at most (plus one while it climbs back up).
// Deeper trees close the handles of the folders farthest up and re-open them through ".."
// on the way back, so any depth fits into a small descriptor budget.
inline constexpr std::size_t defaultMaxOpenFolders = 32;

// Removes everything below the folder open as `top` (a handle that can be read, not
// O_PATH), leaving `top` itself empty for the caller to remove. Answers the allocated size
// of what was removed: st_blocks * 512 summed over every entry below `top` (not `top`
// itself), each measured just before it went, stopping at INT64_MAX.
//
// Works without recursion and never follows a symbolic link: each entry is examined with
// statx(AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT), entered with openat(O_NOFOLLOW |
// O_DIRECTORY) relative to its folder's handle and removed with unlinkat on that handle.
//
// Stays on the mount `top` was opened through, told by mount id, so a bind mount of the
// same file system counts as another mount. An entry on another mount (a folder or a file
// mounted below the tree) is neither entered, counted nor unlinked: it stays with all
// behind it, the walk goes on with the rest, and the folder holding it then fails to be
// removed with ENOTEMPTY. A folder's mount is checked again on its opened handle before it
// is listed. A handle re-opened through ".." must be the remembered folder (device, inode
// and mount), or the removal ends with ESTALE.
//
// Each folder's entries are looked at and removed in the order of their inode numbers
// (DirectoryListing). With `helpers`, whenever one of them is idle the walk hands it the
// last part of the entries still due in the farthest-up folder whose handle it holds (about
// a 1/(2 * threads) share of them, so the parts shrink as the work does); the helper
// removes them, folders with all in them, with the same checks in a walk of its own (its own
// stack of at most `maxOpenFolders` handles and listings, its own ".." checks), and hands
// parts on in the same way. A folder is removed only once the parts handed from it are done.
// Without helpers, or while none is idle, the calling thread goes on alone: the walk never
// waits for a helper to become free.
//
// Stops at the first entry that cannot be removed and fails with its error; what went
// before stays removed. With helpers the other threads stop at their next entry, so a few
// more entries may go after the failing one; the first error is the one answered.
[[nodiscard]] Expected<std::int64_t, SystemError> removeContents(
    UniqueFd top, std::size_t maxOpenFolders = defaultMaxOpenFolders,
    RemovalHelpers* helpers = nullptr);

}  // namespace tavelin
