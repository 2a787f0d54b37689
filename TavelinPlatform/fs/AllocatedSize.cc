#include "AllocatedSize.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "TreeWalk.h"
#include "UniqueFd.h"

namespace tavelin {

std::int64_t measureEntry(int parentFd, const char* name, bool mustBeFolder) {
    // Opening first, with O_NOFOLLOW, decides "folder" on the very object that is walked.
    UniqueFd folder(::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder) {
        return walkTree(std::move(folder), WalkMode::measure).bytes;
    }
    if (errno != ENOTDIR && errno != ELOOP) {
        return 0;  // missing, or a folder that cannot be read
    }
    struct stat status {};
    if (mustBeFolder || ::fstatat(parentFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        S_ISDIR(status.st_mode)) {
        return 0;
    }
    return static_cast<std::int64_t>(status.st_size);
}

}  // namespace tavelin
