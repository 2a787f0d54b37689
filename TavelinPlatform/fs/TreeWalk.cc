#include "TreeWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "DirectoryListing.h"
#include "SaturatingAdd.h"

namespace tavelin {

namespace {

constexpr int folderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::int64_t allocatedBytes(const struct stat& status) noexcept {
    constexpr std::int64_t blockSize = 512;
    const auto blocks = static_cast<std::int64_t>(status.st_blocks);
    if (blocks > INT64_MAX / blockSize) {
        return INT64_MAX;
    }
    return blocks * blockSize;
}

// One folder on the way down: its handle (closed when far up), identity, names and the
// position of the entry being worked on.
struct OpenFolder {
    UniqueFd fd;
    dev_t device = 0;
    ino_t inode = 0;
    DirectoryListing listing;
    std::size_t position = 0;
};

class TreeRemover {
  public:
    explicit TreeRemover(std::size_t maxOpenFolders)
        : maxOpen_(maxOpenFolders < 1 ? 1 : maxOpenFolders) {}

    Expected<std::int64_t, SystemError> run(UniqueFd top) {
        struct stat status {};
        if (::fstat(top.get(), &status) != 0) {
            return lastSystemError("fstat");
        }
        topDevice_ = status.st_dev;
        enter(std::move(top), status);
        while (!stack_.empty() && outcome_.has_value()) {
            OpenFolder& folder = stack_.back();
            if (folder.position < folder.listing.endPosition()) {
                visitCurrent();
            } else {
                leave();
            }
        }
        if (!outcome_) {
            return Unexpected(std::move(outcome_).error());
        }
        return bytes_;
    }

  private:
    void fail(Unexpected<SystemError> error) { outcome_ = std::move(error); }

    void advance() {
        OpenFolder& folder = stack_.back();
        folder.position = folder.listing.nextPosition(folder.position);
    }

    // Lists the folder and makes it the current one; a listing that fails part-way ends
    // the removal.
    void enter(UniqueFd fd, const struct stat& status) {
        OpenFolder folder;
        if (Status<SystemError> listed = folder.listing.read(fd.get(), scratch_); !listed) {
            outcome_ = std::move(listed);
            return;
        }
        folder.fd = std::move(fd);
        folder.device = status.st_dev;
        folder.inode = status.st_ino;
        stack_.push_back(std::move(folder));
        if (stack_.size() > maxOpen_) {
            stack_[stack_.size() - 1 - maxOpen_].fd.reset();
        }
    }

    // Measures the current entry and, by its kind, enters it or removes it.
    void visitCurrent() {
        OpenFolder& folder = stack_.back();
        const char* name = folder.listing.nameAt(folder.position);
        const int dirFd = folder.fd.get();
        struct stat status {};
        if (::fstatat(dirFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone already: nothing to count or remove. Anything else ends the removal.
            if (errno != ENOENT) {
                fail(lastSystemError("fstatat", name));
                return;
            }
            advance();
            return;
        }
        bytes_ = saturatingAdd(bytes_, allocatedBytes(status));
        if (S_ISDIR(status.st_mode) && status.st_dev == topDevice_) {
            UniqueFd child(::openat(dirFd, name, folderOpenFlags));
            if (child) {
                // Stays on this entry until the folder is done; leave() moves past it.
                struct stat opened {};
                if (::fstat(child.get(), &opened) != 0) {
                    opened = status;
                }
                enter(std::move(child), opened);
                return;
            }
            const int openError = errno;
            if (openError != ENOTDIR && openError != ELOOP) {
                // Unreadable (or vanished): its contents count 0; an empty one can still go.
                unlinkEntry(dirFd, name, AT_REMOVEDIR, openError);
                return;
            }
            // Swapped for a non-folder since fstatat: remove whatever is there now, as
            // itself (a link as a link).
            unlinkEntry(dirFd, name, 0);
            return;
        }
        unlinkEntry(dirFd, name, S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0);
    }

    // Unlinks one entry of the current folder and moves past it. `causeError` is why a
    // folder could not be emptied; it is reported instead of rmdir's ENOTEMPTY.
    void unlinkEntry(int dirFd, const char* name, int flags, int causeError = 0) {
        if (::unlinkat(dirFd, name, flags) != 0 && errno != ENOENT) {
            const int error = (errno == ENOTEMPTY && causeError != 0) ? causeError : errno;
            fail(systemError(error, flags == AT_REMOVEDIR ? "rmdir" : "unlinkat", name));
            return;
        }
        advance();
    }

    // The current folder is done: climb back to its parent (re-opening it through ".." if
    // its handle was closed) and remove the now empty folder.
    void leave() {
        UniqueFd child = std::move(stack_.back().fd);
        stack_.pop_back();
        if (stack_.empty()) {
            return;
        }
        OpenFolder& parent = stack_.back();
        if (!parent.fd) {
            UniqueFd reopened(::openat(child.get(), "..", folderOpenFlags));
            struct stat status {};
            if (!reopened || ::fstat(reopened.get(), &status) != 0) {
                fail(lastSystemError("openat .."));
                return;
            }
            if (status.st_dev != parent.device || status.st_ino != parent.inode) {
                // The folder was moved while we were below it; its parent is not ours.
                fail(systemError(ESTALE, "openat .."));
                return;
            }
            parent.fd = std::move(reopened);
        }
        child.reset();
        unlinkEntry(parent.fd.get(), parent.listing.nameAt(parent.position), AT_REMOVEDIR);
    }

    std::size_t maxOpen_;
    dev_t topDevice_ = 0;
    std::vector<OpenFolder> stack_;
    std::vector<char> scratch_;
    std::int64_t bytes_ = 0;
    Status<SystemError> outcome_;  // success until the first failure, which ends the walk
};

}  // namespace

Expected<std::int64_t, SystemError> removeContents(UniqueFd top, std::size_t maxOpenFolders) {
    return TreeRemover(maxOpenFolders).run(std::move(top));
}

}  // namespace tavelin
