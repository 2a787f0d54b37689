#pragma once

#include <sys/stat.h>

#include "TavelinPlatform/core/SystemError.h"

namespace tavelin {

// statx of one entry for the removal: type, mode, inode, size, blocks and the id of the
// mount the entry was reached through (stx_mnt_id, Linux 5.8). The mount id tells a bind
// mount of the same file system apart, where st_dev cannot.
//
// A mount id is reused only once its mount is gone, and a mount stays while a handle on it
// is open; so comparing ids with the mount of a handle we hold is sound.

// The entry `name` of the folder open as `dirFd` (any handle, O_PATH included). Never
// follows a symbolic link and never triggers an automount; for a mount point it answers the
// root of what is mounted there. Fails with statx's errno, or ENOSYS when the kernel
// answers no mount id.
[[nodiscard]] Expected<struct statx, SystemError> statEntry(int dirFd, const char* name);

// The same for the item open as `fd` itself.
[[nodiscard]] Expected<struct statx, SystemError> statHandle(int fd);

}  // namespace tavelin
