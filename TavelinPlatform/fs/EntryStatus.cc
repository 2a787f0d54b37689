#include "TavelinPlatform/fs/EntryStatus.h"

#include <fcntl.h>

#include <cerrno>

namespace tavelin {

namespace {

constexpr unsigned int wantedFields =
    STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE | STATX_BLOCKS | STATX_MNT_ID;

Expected<struct statx, SystemError> statAt(int dirFd, const char* name, int flags) {
    struct statx status {};
    if (::statx(dirFd, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, wantedFields,
                &status) != 0) {
        return lastSystemError("statx", name);
    }
    if ((status.stx_mask & STATX_MNT_ID) == 0) {
        // Without a mount id a bind mount could not be told apart: refuse rather than guess.
        return systemError(ENOSYS, "statx mount id", name);
    }
    return status;
}

}  // namespace

Expected<struct statx, SystemError> statEntry(int dirFd, const char* name) {
    return statAt(dirFd, name, 0);
}

Expected<struct statx, SystemError> statHandle(int fd) {
    return statAt(fd, "", AT_EMPTY_PATH);
}

}  // namespace tavelin
