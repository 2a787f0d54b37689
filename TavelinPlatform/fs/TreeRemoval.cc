#include "TreeRemoval.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "UniqueFd.h"

namespace tavelin {

namespace {

SystemError failure(int errorNumber, const char* call, const char* name) {
    return SystemError{errorNumber, std::string(call) + " " + name};
}

FsResult<std::int64_t> removeFolder(int parentFd, const char* name, UniqueFd folder) {
    TreeWalkResult walk = walkTree(std::move(folder), WalkMode::remove);
    if (walk.error) {
        return std::move(*walk.error);
    }
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0) {
        return failure(errno, "rmdir", name);
    }
    return walk.bytes;
}

FsResult<std::int64_t> removeNonFolder(int parentFd, const char* name, bool mustBeFolder) {
    struct stat status {};
    if (::fstatat(parentFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return failure(errno, "fstatat", name);
    }
    if (mustBeFolder || S_ISDIR(status.st_mode)) {
        // A trailing slash on a non-folder, or a folder swapped in after the open failed.
        return failure(mustBeFolder ? ENOTDIR : EISDIR, "unlinkat", name);
    }
    if (::unlinkat(parentFd, name, 0) != 0) {
        return failure(errno, "unlinkat", name);
    }
    return static_cast<std::int64_t>(status.st_size);
}

}  // namespace

FsResult<std::int64_t> removeEntry(int parentFd, const char* name, bool mustBeFolder) {
    UniqueFd folder(::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder) {
        return removeFolder(parentFd, name, std::move(folder));
    }
    const int openError = errno;
    if (openError == ENOTDIR || openError == ELOOP) {
        return removeNonFolder(parentFd, name, mustBeFolder);
    }
    if (openError == ENOENT) {
        return failure(openError, "openat", name);
    }
    // A folder that cannot be read: its contents count 0, and only an empty one can go.
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0) {
        return failure(errno == ENOTEMPTY ? openError : errno, "rmdir", name);
    }
    return std::int64_t{0};
}

}  // namespace tavelin
