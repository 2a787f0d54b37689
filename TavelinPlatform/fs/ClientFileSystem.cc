#include "TavelinPlatform/fs/ClientFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "TavelinPlatform/fs/DotName.h"
#include "TavelinPlatform/fs/PathResolution.h"
#include "TavelinPlatform/fs/TreeRemoval.h"

namespace tavelin {

namespace {

namespace resolution = pathResolution;

// fchmodat2 (Linux 6.6) changes the item an O_PATH handle refers to directly. Older
// kernels go through the handle's /proc entry, which names the same inode.
Status<SystemError> changeModeOfHandle(int fd, mode_t mode, std::string_view path) {
#ifdef SYS_fchmodat2
    if (::syscall(SYS_fchmodat2, fd, "", mode, AT_EMPTY_PATH) == 0) {
        return {};
    }
    if (errno != ENOSYS) {
        return lastSystemError("chmod", path);
    }
#endif
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    if (::fchmodat(AT_FDCWD, procPath.c_str(), mode, 0) != 0) {
        return lastSystemError("chmod", path);
    }
    return {};
}

}  // namespace

Expected<ClientFileSystem, SystemError> ClientFileSystem::open(const std::string& rootDirectory,
                                                               std::string currentDirectory,
                                                               RemovalHelpers* helpers) {
    if (currentDirectory.empty() || currentDirectory.front() != '/') {
        return systemError(EINVAL, "current directory", currentDirectory);
    }
    UniqueFd root(::open(rootDirectory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root) {
        return lastSystemError("open", rootDirectory);
    }
    return ClientFileSystem(std::move(root), std::move(currentDirectory), helpers);
}

std::string ClientFileSystem::absolutePath(std::string_view clientPath) const {
    if (!clientPath.empty() && clientPath.front() == '/') {
        return std::string(clientPath);
    }
    std::string joined = currentDirectory_;
    if (joined.back() != '/') {
        joined.push_back('/');
    }
    joined.append(clientPath);
    return joined;
}

Expected<std::int64_t, SystemError> ClientFileSystem::measureAndRemove(
    std::string_view clientPath) const {
    if (clientPath.empty()) {
        return systemError(ENOENT, "empty path");
    }
    const std::string absolute = absolutePath(clientPath);
    const resolution::SplitPath split = resolution::split(absolute);
    if (isDotName(split.name)) {
        // Like rmdir("."): the folder would be emptied and then stay.
        return systemError(EINVAL, "remove", absolute);
    }
    Expected<UniqueFd, SystemError> parent = resolution::openParent(root_.get(), split);
    if (!parent) {
        return Unexpected(std::move(parent).error());
    }
    return removeItem(parent->get(), split.name.c_str(), split.mustBeFolder, helpers_);
}

Status<SystemError> ClientFileSystem::setPermissions(std::string_view clientPath,
                                                     mode_t mode) const {
    if (clientPath.empty()) {
        return systemError(ENOENT, "empty path");
    }
    const std::string absolute = absolutePath(clientPath);
    // No O_NOFOLLOW: with RESOLVE_NO_SYMLINKS a link as the last component is refused
    // with ELOOP rather than opened as a link.
    Expected<UniqueFd, SystemError> item = resolution::openBelowRoot(root_.get(), absolute, O_PATH);
    if (!item) {
        return Unexpected(std::move(item).error());
    }
    return changeModeOfHandle(item->get(), mode & 07777, absolute);
}

}  // namespace tavelin
