#include "TavelinPlatform/fs/PathResolution.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace tavelin::pathResolution {

namespace {

// A rename anywhere on the system while RESOLVE_IN_ROOT walks ".." makes openat2 answer
// EAGAIN; a few retries are plenty, after that the error stands.
constexpr int maxResolveAttempts = 16;

}  // namespace

SplitPath split(std::string_view absolutePath) {
    SplitPath result;
    std::string_view path = absolutePath;
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
        result.mustBeFolder = true;
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || path == "/") {
        // "/" (or a path of slashes only) names the root itself.
        result.parent = "/";
        result.name = ".";
        return result;
    }
    result.name = std::string(path.substr(slash + 1));
    std::string_view parent = path.substr(0, slash);
    while (!parent.empty() && parent.back() == '/') {
        parent.remove_suffix(1);
    }
    result.parent = parent.empty() ? std::string("/") : std::string(parent);
    return result;
}

Expected<UniqueFd, SystemError> openBelowRoot(int rootFd, const std::string& path, int flags) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_SYMLINKS;
    for (int attempt = 0;; ++attempt) {
        const long fd = ::syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how);
        if (fd >= 0) {
            return UniqueFd(static_cast<int>(fd));
        }
        if (errno == EINTR || (errno == EAGAIN && attempt + 1 < maxResolveAttempts)) {
            continue;
        }
        return lastSystemError("openat2", path);
    }
}

Expected<UniqueFd, SystemError> openParent(int rootFd, const SplitPath& split) {
    return openBelowRoot(rootFd, split.parent, O_PATH | O_DIRECTORY);
}

}  // namespace tavelin::pathResolution
