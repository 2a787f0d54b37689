#pragma once

#include <string>
#include <string_view>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"

// Internal to the client file system: turning an absolute client path into handles below
// the root without following links.
namespace tavelin::pathResolution {

// An absolute client path split into the folder holding the item and the item's name.
struct SplitPath {
    std::string parent;         // absolute, e.g. "/Library/Caches" or "/"
    std::string name;           // the last component; "." when the path names the root
    bool mustBeFolder = false;  // the path ended in one or more slashes
};

// Splits an absolute path ("/a/b/", "/a//b", "/"). Repeated slashes between the parent and
// the name are dropped; the parent text is otherwise kept as written.
[[nodiscard]] SplitPath split(std::string_view absolutePath);

// openat2(root, path, flags, RESOLVE_IN_ROOT | RESOLVE_NO_SYMLINKS), retried on EAGAIN
// (a concurrent rename) and EINTR. O_CLOEXEC is always added. Fails with openat2's errno,
// ELOOP when any component is a symbolic link.
[[nodiscard]] Expected<UniqueFd, SystemError> openBelowRoot(int rootFd, const std::string& path,
                                                            int flags);

// The folder holding the item named by `split`, as an O_PATH directory handle.
[[nodiscard]] Expected<UniqueFd, SystemError> openParent(int rootFd, const SplitPath& split);

}  // namespace tavelin::pathResolution
