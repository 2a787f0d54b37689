#include "TavelinPlatform/fs/TreeRemoval.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/fs/EntryStatus.h"
#include "TavelinPlatform/fs/TreeWalk.h"

namespace tavelin {

namespace {

// An item on another mount than its folder is a mount point (or a file mounted onto a
// file), of another file system or a bind mount of the same: not ours to empty or unlink.
Status<SystemError> requireMount(const struct statx& item, std::uint64_t parentMount,
                                 const char* name) {
    if (item.stx_mnt_id != parentMount) {
        return systemError(EXDEV, "remove mount point", name);
    }
    return {};
}

Expected<std::int64_t, SystemError> removeFolder(int parentFd, const char* name, UniqueFd folder,
                                                 std::uint64_t parentMount,
                                                 RemovalHelpers* helpers) {
    // Judged on the handle the walk will use, so a mount made after any earlier look
    // cannot slip in.
    const Expected<struct statx, SystemError> opened = statHandle(folder.get());
    if (!opened) {
        return Unexpected(opened.error());
    }
    if (Status<SystemError> sameMount = requireMount(*opened, parentMount, name); !sameMount) {
        return Unexpected(std::move(sameMount).error());
    }
    Expected<std::int64_t, SystemError> contents =
        removeContents(std::move(folder), defaultMaxOpenFolders, helpers);
    if (!contents) {
        return contents;
    }
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0) {
        return lastSystemError("rmdir", name);
    }
    return contents;
}

Expected<std::int64_t, SystemError> removeNonFolder(int parentFd, const char* name,
                                                    bool mustBeFolder, std::uint64_t parentMount) {
    const Expected<struct statx, SystemError> status = statEntry(parentFd, name);
    if (!status) {
        return Unexpected(status.error());
    }
    if (Status<SystemError> sameMount = requireMount(*status, parentMount, name); !sameMount) {
        return Unexpected(std::move(sameMount).error());
    }
    if (mustBeFolder || S_ISDIR(status->stx_mode)) {
        // A trailing slash on a non-folder, or a folder swapped in after the open failed.
        return systemError(mustBeFolder ? ENOTDIR : EISDIR, "unlinkat", name);
    }
    if (::unlinkat(parentFd, name, 0) != 0) {
        return lastSystemError("unlinkat", name);
    }
    return static_cast<std::int64_t>(status->stx_size);
}

// A folder that cannot be read: its contents count 0, and only an empty one can go.
Expected<std::int64_t, SystemError> removeUnreadableFolder(int parentFd, const char* name,
                                                           int openError,
                                                           std::uint64_t parentMount) {
    const Expected<struct statx, SystemError> status = statEntry(parentFd, name);
    if (!status) {
        return Unexpected(status.error());
    }
    if (Status<SystemError> sameMount = requireMount(*status, parentMount, name); !sameMount) {
        return Unexpected(std::move(sameMount).error());
    }
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0) {
        return systemError(errno == ENOTEMPTY ? openError : errno, "rmdir", name);
    }
    return std::int64_t{0};
}

}  // namespace

Expected<std::int64_t, SystemError> removeItem(int parentFd, const char* name, bool mustBeFolder,
                                               RemovalHelpers* helpers) {
    const Expected<struct statx, SystemError> parent = statHandle(parentFd);
    if (!parent) {
        return Unexpected(parent.error());
    }
    UniqueFd folder(::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder) {
        return removeFolder(parentFd, name, std::move(folder), parent->stx_mnt_id, helpers);
    }
    const int openError = errno;
    if (openError == ENOTDIR || openError == ELOOP) {
        return removeNonFolder(parentFd, name, mustBeFolder, parent->stx_mnt_id);
    }
    if (openError == ENOENT) {
        return systemError(openError, "openat", name);
    }
    return removeUnreadableFolder(parentFd, name, openError, parent->stx_mnt_id);
}

}  // namespace tavelin
