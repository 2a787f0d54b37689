#include "TreeRemoval.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "TreeWalk.h"
#include "UniqueFd.h"

namespace tavelin {

namespace {

Expected<std::int64_t, SystemError> removeFolder(int parentFd, const char* name, UniqueFd folder) {
    Expected<std::int64_t, SystemError> contents = removeContents(std::move(folder));
    if (!contents) {
        return contents;
    }
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0) {
        return lastSystemError("rmdir", name);
    }
    return contents;
}

Expected<std::int64_t, SystemError> removeNonFolder(int parentFd, const char* name,
                                                    bool mustBeFolder) {
    struct stat status {};
    if (::fstatat(parentFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return lastSystemError("fstatat", name);
    }
    if (mustBeFolder || S_ISDIR(status.st_mode)) {
        // A trailing slash on a non-folder, or a folder swapped in after the open failed.
        return systemError(mustBeFolder ? ENOTDIR : EISDIR, "unlinkat", name);
    }
    if (::unlinkat(parentFd, name, 0) != 0) {
        return lastSystemError("unlinkat", name);
    }
    return static_cast<std::int64_t>(status.st_size);
}

}  // namespace

Expected<std::int64_t, SystemError> removeItem(int parentFd, const char* name, bool mustBeFolder) {
    UniqueFd folder(::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder) {
        return removeFolder(parentFd, name, std::move(folder));
    }
    const int openError = errno;
    if (openError == ENOTDIR || openError == ELOOP) {
        return removeNonFolder(parentFd, name, mustBeFolder);
    }
    if (openError == ENOENT) {
        return systemError(openError, "openat", name);
    }
    // A folder that cannot be read: its contents count 0, and only an empty one can go.
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0) {
        return systemError(errno == ENOTEMPTY ? openError : errno, "rmdir", name);
    }
    return std::int64_t{0};
}

}  // namespace tavelin
