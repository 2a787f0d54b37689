#pragma once

#include <cstddef>
#include <cstdint>

#include "SystemError.h"
#include "UniqueFd.h"

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
// fstatat(AT_SYMLINK_NOFOLLOW), entered with openat(O_NOFOLLOW | O_DIRECTORY) relative to
// its folder's handle and removed with unlinkat on that handle. Folders on another file
// system than `top` are not entered, so they and the folders holding them stay. A handle
// re-opened through ".." must be the remembered folder (device and inode), or the removal
// ends with ESTALE. Stops at the first entry that cannot be removed and fails with its
// error; what went before stays removed.
[[nodiscard]] Expected<std::int64_t, SystemError> removeContents(
    UniqueFd top, std::size_t maxOpenFolders = defaultMaxOpenFolders);

}  // namespace tavelin
