#include "TreeWalk.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

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
struct Frame {
    UniqueFd fd;
    dev_t device = 0;
    ino_t inode = 0;
    DirectoryListing listing;
    std::size_t position = 0;
};

class TreeWalker {
  public:
    TreeWalker(WalkMode mode, std::size_t maxOpenFolders)
        : mode_(mode), maxOpen_(maxOpenFolders < 1 ? 1 : maxOpenFolders) {}

    TreeWalkResult run(UniqueFd top) {
        struct stat status {};
        if (::fstat(top.get(), &status) != 0) {
            fail(errno, "fstat");
            return finish();
        }
        topDevice_ = status.st_dev;
        if (!enter(std::move(top), status) && mode_ == WalkMode::remove) {
            return finish();
        }
        while (!stack_.empty() && !error_) {
            Frame& frame = stack_.back();
            if (frame.position < frame.listing.endPosition()) {
                visitCurrent();
            } else {
                leave();
            }
        }
        return finish();
    }

  private:
    TreeWalkResult finish() { return TreeWalkResult{bytes_, std::move(error_)}; }

    void fail(int errorNumber, std::string_view call, const char* name = nullptr) {
        std::string context(call);
        if (name != nullptr) {
            context.append(" ").append(name);
        }
        error_ = SystemError{errorNumber, std::move(context)};
    }

    void advance() {
        Frame& frame = stack_.back();
        frame.position = frame.listing.nextPosition(frame.position);
    }

    // Lists the folder and makes it the current one. A listing that fails part-way ends a
    // removal; a measurement goes on with the names it got.
    bool enter(UniqueFd fd, const struct stat& status) {
        Frame frame;
        const int readError = frame.listing.read(fd.get(), scratch_);
        if (readError != 0 && mode_ == WalkMode::remove) {
            fail(readError, "getdents64");
            return false;
        }
        frame.fd = std::move(fd);
        frame.device = status.st_dev;
        frame.inode = status.st_ino;
        stack_.push_back(std::move(frame));
        if (stack_.size() > maxOpen_) {
            stack_[stack_.size() - 1 - maxOpen_].fd.reset();
        }
        return true;
    }

    // Measures the current entry and, by its kind, enters it, removes it or passes it.
    void visitCurrent() {
        Frame& frame = stack_.back();
        const char* name = frame.listing.nameAt(frame.position);
        const int dirFd = frame.fd.get();
        struct stat status {};
        if (::fstatat(dirFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone already: nothing to count or remove. Anything else ends a removal.
            if (errno != ENOENT && mode_ == WalkMode::remove) {
                fail(errno, "fstatat", name);
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
                static_cast<void>(enter(std::move(child), opened));
                return;
            }
            const int openError = errno;
            if (openError != ENOTDIR && openError != ELOOP) {
                // Unreadable (or vanished): its contents count 0; an empty one can still go.
                removeEntry(dirFd, name, AT_REMOVEDIR, openError);
                return;
            }
            // Swapped for a non-folder since fstatat: remove whatever is there now, as
            // itself (a link as a link).
            removeEntry(dirFd, name, 0);
            return;
        }
        removeEntry(dirFd, name, S_ISDIR(status.st_mode) ? AT_REMOVEDIR : 0);
    }

    // Removes one entry (remove mode) and moves past it. `causeError` is why a folder could
    // not be emptied; it is reported instead of rmdir's ENOTEMPTY.
    void removeEntry(int dirFd, const char* name, int flags, int causeError = 0) {
        if (mode_ == WalkMode::remove && ::unlinkat(dirFd, name, flags) != 0 && errno != ENOENT) {
            const int error = (errno == ENOTEMPTY && causeError != 0) ? causeError : errno;
            fail(error, flags == AT_REMOVEDIR ? "rmdir" : "unlinkat", name);
            return;
        }
        advance();
    }

    // The current folder is done: climb back to its parent (re-opening it through ".." if
    // its handle was closed) and, when removing, remove the now empty folder.
    void leave() {
        UniqueFd child = std::move(stack_.back().fd);
        stack_.pop_back();
        if (stack_.empty()) {
            return;
        }
        Frame& parent = stack_.back();
        if (!parent.fd) {
            UniqueFd reopened(::openat(child.get(), "..", folderOpenFlags));
            struct stat status {};
            if (!reopened || ::fstat(reopened.get(), &status) != 0) {
                fail(errno, "openat ..");
                return;
            }
            if (status.st_dev != parent.device || status.st_ino != parent.inode) {
                // The folder was moved while we were below it; its parent is not ours.
                fail(ESTALE, "openat ..");
                return;
            }
            parent.fd = std::move(reopened);
        }
        child.reset();
        removeEntry(parent.fd.get(), parent.listing.nameAt(parent.position), AT_REMOVEDIR);
    }

    WalkMode mode_;
    std::size_t maxOpen_;
    dev_t topDevice_ = 0;
    std::vector<Frame> stack_;
    std::vector<char> scratch_;
    std::int64_t bytes_ = 0;
    std::optional<SystemError> error_;
};

}  // namespace

TreeWalkResult walkTree(UniqueFd top, WalkMode mode, std::size_t maxOpenFolders) {
    return TreeWalker(mode, maxOpenFolders).run(std::move(top));
}

}  // namespace tavelin
