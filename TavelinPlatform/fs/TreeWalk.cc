#include "TavelinPlatform/fs/TreeWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "TavelinPlatform/fs/DirectoryListing.h"
#include "TavelinPlatform/fs/EntryStatus.h"
#include "TavelinPlatform/fs/SaturatingAdd.h"

namespace tavelin {

namespace {

constexpr int folderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::int64_t allocatedBytes(const struct statx& status) noexcept {
    constexpr std::uint64_t blockSize = 512;
    if (status.stx_blocks > static_cast<std::uint64_t>(INT64_MAX) / blockSize) {
        return INT64_MAX;
    }
    return static_cast<std::int64_t>(status.stx_blocks * blockSize);
}

// Which folder a handle refers to, and through which mount.
struct FolderIdentity {
    dev_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t mount = 0;

    bool operator==(const FolderIdentity&) const = default;
};

FolderIdentity identityOf(const struct statx& status) noexcept {
    return {makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino, status.stx_mnt_id};
}

// One folder on the way down: its handle (closed when far up), identity, names and the
// position of the entry being worked on.
struct OpenFolder {
    UniqueFd fd;
    FolderIdentity identity;
    DirectoryListing listing;
    std::size_t position = 0;
};

class TreeRemover {
  public:
    explicit TreeRemover(std::size_t maxOpenFolders)
        : maxOpen_(maxOpenFolders < 1 ? 1 : maxOpenFolders) {}

    Expected<std::int64_t, SystemError> run(UniqueFd top) {
        const Expected<struct statx, SystemError> status = statHandle(top.get());
        if (!status) {
            return Unexpected(status.error());
        }
        topMount_ = status->stx_mnt_id;
        enter(std::move(top), identityOf(*status));
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
    void enter(UniqueFd fd, const FolderIdentity& identity) {
        OpenFolder folder;
        if (Status<SystemError> listed = folder.listing.read(fd.get(), scratch_); !listed) {
            outcome_ = std::move(listed);
            return;
        }
        folder.fd = std::move(fd);
        folder.identity = identity;
        stack_.push_back(std::move(folder));
        if (stack_.size() > maxOpen_) {
            stack_[stack_.size() - 1 - maxOpen_].fd.reset();
        }
    }

    // Measures the current entry and, by its kind, enters it, removes it or, when it lies
    // on another mount, leaves it.
    void visitCurrent() {
        OpenFolder& folder = stack_.back();
        const char* name = folder.listing.nameAt(folder.position);
        const int dirFd = folder.fd.get();
        const Expected<struct statx, SystemError> status = statEntry(dirFd, name);
        if (!status) {
            // Gone already: nothing to count or remove. Anything else ends the removal.
            if (status.error().errorNumber != ENOENT) {
                fail(Unexpected(status.error()));
                return;
            }
            advance();
            return;
        }
        if (status->stx_mnt_id != topMount_) {
            // Something mounted here, a folder or a file, of another file system or a bind
            // mount of this one: not ours to empty or unlink. It stays, and so does the
            // folder holding it, which then fails to go as not empty.
            advance();
            return;
        }
        bytes_ = saturatingAdd(bytes_, allocatedBytes(*status));
        if (!S_ISDIR(status->stx_mode)) {
            unlinkEntry(dirFd, name, 0);
            return;
        }
        UniqueFd child(::openat(dirFd, name, folderOpenFlags));
        if (child) {
            const Expected<struct statx, SystemError> opened = statHandle(child.get());
            if (!opened) {
                fail(Unexpected(opened.error()));
                return;
            }
            if (opened->stx_mnt_id != topMount_) {
                // Mounted on since statx: left like any other mount point.
                advance();
                return;
            }
            // Stays on this entry until the folder is done; leave() moves past it.
            enter(std::move(child), identityOf(*opened));
            return;
        }
        const int openError = errno;
        if (openError != ENOTDIR && openError != ELOOP) {
            // Unreadable (or vanished): its contents count 0; an empty one can still go.
            unlinkEntry(dirFd, name, AT_REMOVEDIR, openError);
            return;
        }
        // Swapped for a non-folder since statx: remove whatever is there now, as itself (a
        // link as a link). Should that be a mount point, unlinkat refuses it with EBUSY.
        unlinkEntry(dirFd, name, 0);
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
            if (!reopened) {
                fail(lastSystemError("openat", ".."));
                return;
            }
            const Expected<struct statx, SystemError> status = statHandle(reopened.get());
            if (!status) {
                fail(Unexpected(status.error()));
                return;
            }
            if (identityOf(*status) != parent.identity) {
                // The folder was moved while we were below it, or its parent was mounted
                // on: what ".." reaches now is not the folder we left.
                fail(systemError(ESTALE, "openat", ".."));
                return;
            }
            parent.fd = std::move(reopened);
        }
        child.reset();
        unlinkEntry(parent.fd.get(), parent.listing.nameAt(parent.position), AT_REMOVEDIR);
    }

    std::size_t maxOpen_;
    std::uint64_t topMount_ = 0;  // the mount of `top`; nothing on another one is touched
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
