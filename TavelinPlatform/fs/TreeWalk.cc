#include "TavelinPlatform/fs/TreeWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <vector>

#include "TavelinPlatform/core/Mutex.h"
#include "TavelinPlatform/fs/DirectoryListing.h"
#include "TavelinPlatform/fs/EntryStatus.h"
#include "TavelinPlatform/fs/RemovalHelpers.h"
#include "TavelinPlatform/fs/SaturatingAdd.h"

namespace tavelin {

namespace {

constexpr int folderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// After an offer of work found nothing to spare or no helper after all, a walker looks at
// this many entries before it offers again.
constexpr std::size_t entriesBetweenFailedOffers = 16;

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

class Removal;

// The last entries of a folder one walker of a removal handed to a helper, which removes
// them (folders with everything in them) but not the folder itself. The walker fills it in
// before handing it over and leaves it alone until the helper has reported it done; the
// helper touches it only in between.
struct HandedEntries {
    Removal* removal = nullptr;
    UniqueFd folder;           // a duplicate of the walker's handle of the folder holding them
    FolderIdentity identity;   // of `folder`
    DirectoryListing listing;  // their names, in inode order
};

// What the walkers of one removal share: the mount, the first error, the bytes and the
// few parts handed to helpers at once. Every walker of the removal has ended before it
// goes.
class Removal {
  public:
    Removal(std::uint64_t topMount, std::size_t maxOpenFolders, RemovalHelpers* helpers)
        : topMount_(topMount),
          maxOpen_(maxOpenFolders < 1 ? 1 : maxOpenFolders),
          helpers_(helpers) {
        for (HandedEntries& part : parts_) {
            part.removal = this;
        }
    }
    Removal(const Removal&) = delete;
    Removal& operator=(const Removal&) = delete;

    [[nodiscard]] std::uint64_t topMount() const noexcept { return topMount_; }
    [[nodiscard]] std::size_t maxOpenFolders() const noexcept { return maxOpen_; }
    [[nodiscard]] RemovalHelpers* helpers() const noexcept { return helpers_; }

    // Set at the first failure: every walker stops at its next entry.
    [[nodiscard]] bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }

    // Ends the removal with `error`, unless it failed already.
    void fail(Unexpected<SystemError> error) EXCLUDES(mutex_) {
        const MutexLock lock(mutex_);
        if (outcome_) {
            outcome_ = std::move(error);
        }
        stopped_.store(true, std::memory_order_relaxed);
    }
    // Ends the removal without an error of its own (a helper out of memory), allocating
    // nothing; the removal then fails with ENOMEM.
    void stop() noexcept { stopped_.store(true, std::memory_order_relaxed); }

    void addBytes(std::int64_t bytes) EXCLUDES(mutex_) {
        const MutexLock lock(mutex_);
        bytes_ = saturatingAdd(bytes_, bytes);
    }

    // A free slot for a part, taken for `owner`'s folder at stack depth `depth`; null when
    // every one is (there are as many as helpers, so that is rare).
    HandedEntries* reserve(const void* owner, std::size_t depth) EXCLUDES(mutex_) {
        const MutexLock lock(mutex_);
        for (std::size_t i = 0; i < parts_.size(); ++i) {
            if (holders_[i].owner == nullptr) {
                holders_[i] = {owner, depth};
                return &parts_[i];
            }
        }
        return nullptr;
    }
    // Gives the slot back: not handed after all, or done. After done() the helper touches
    // nothing of the removal: its walker may have ended and the removal with it.
    void done(HandedEntries* part) EXCLUDES(mutex_) {
        const MutexLock lock(mutex_);
        holders_[indexOf(part)] = {};
        // Under the lock: once it is let go, the waiter may end the removal.
        finished_.notify_all();
    }
    // Waits until the parts `owner` handed from its folders at stack depth `depth` and
    // below are done; answers how many it still has out (from folders farther up).
    std::size_t waitFor(const void* owner, std::size_t depth) EXCLUDES(mutex_) {
        const MutexLock lock(mutex_);
        for (;;) {
            std::size_t waiting = 0;
            std::size_t out = 0;
            for (const Holder& holder : holders_) {
                if (holder.owner == owner) {
                    ++out;
                    waiting += holder.depth >= depth ? 1 : 0;
                }
            }
            if (waiting == 0) {
                return out;
            }
            mutex_.wait(finished_);
        }
    }

    // Once every walker has ended: the bytes, or the first error.
    [[nodiscard]] Expected<std::int64_t, SystemError> result() EXCLUDES(mutex_) {
        const MutexLock lock(mutex_);
        if (!outcome_) {
            return Unexpected(outcome_.error());
        }
        if (stopped()) {
            return systemError(ENOMEM, "remove");
        }
        return bytes_;
    }

  private:
    std::size_t indexOf(const HandedEntries* part) const noexcept {
        return static_cast<std::size_t>(part - parts_.data());
    }

    const std::uint64_t topMount_;   // nothing on another mount is touched
    const std::size_t maxOpen_;      // folder handles each walker keeps open at most
    RemovalHelpers* const helpers_;  // null: the walk goes alone
    std::atomic<bool> stopped_{false};
    Mutex mutex_;
    std::condition_variable finished_;                // a handed part is done
    Status<SystemError> outcome_ GUARDED_BY(mutex_);  // success until the first failure
    std::int64_t bytes_ GUARDED_BY(mutex_) = 0;
    // Who handed each slot's part out, from which depth of its stack; no owner: free.
    struct Holder {
        const void* owner = nullptr;
        std::size_t depth = 0;
    };
    std::array<Holder, RemovalHelpers::maxHelpers> holders_ GUARDED_BY(mutex_){};
    // Owned by whoever holds the slot (see HandedEntries), so not guarded.
    std::array<HandedEntries, RemovalHelpers::maxHelpers> parts_;
};

// One thread's walk of a removal: the whole tree below `top`, or entries of a folder
// handed to a helper. Each walker has its own stack of folders, handles and listings; it
// shares only the Removal. While a helper is idle, a walker hands it the last part of the
// entries still due in the farthest-up folder it holds open (a share of them that shrinks
// as they do, so that no thread is left with much when the others are done); the walker
// leaves that folder only once the part is done.
class TreeRemover {
  public:
    explicit TreeRemover(Removal& removal) : removal_(removal) {}
    TreeRemover(const TreeRemover&) = delete;
    TreeRemover& operator=(const TreeRemover&) = delete;
    // Whatever way the walk ended, the parts it handed out are done before it goes.
    ~TreeRemover() { joinHanded(0); }

    // Removes everything below the folder `top` (not `top` itself) and adds the bytes.
    void walk(UniqueFd top, const FolderIdentity& identity) {
        enter(std::move(top), identity);
        run();
    }

    // A helper's job: the entries `context` (a HandedEntries) names, not their folder.
    static void removeHanded(void* context) noexcept {
        auto* part = static_cast<HandedEntries*>(context);
        Removal& removal = *part->removal;
        try {
            TreeRemover walker(removal);
            OpenFolder folder;
            folder.fd = std::move(part->folder);
            folder.identity = part->identity;
            folder.listing = std::move(part->listing);
            walker.stack_.push_back(std::move(folder));
            walker.run();
        } catch (...) {
            // Out of memory: the removal fails (with ENOMEM), as it would alone.
            removal.stop();
        }
        part->folder.reset();
        part->listing = DirectoryListing();
        removal.done(part);
    }

  private:
    void fail(Unexpected<SystemError> error) { removal_.fail(std::move(error)); }

    void run() {
        while (!stack_.empty() && !removal_.stopped()) {
            OpenFolder& folder = stack_.back();
            if (folder.position < folder.listing.endPosition()) {
                offerWork();
                visitCurrent();
            } else {
                leave();
            }
        }
        joinHanded(0);
        removal_.addBytes(bytes_);
    }

    // Hands work to an idle helper, if there is one and work to spare.
    void offerWork() {
        RemovalHelpers* helpers = removal_.helpers();
        if (helpers == nullptr) {
            return;
        }
        if (offerPause_ > 0) {
            --offerPause_;
            return;
        }
        if (helpers->mayHaveIdle() && !handPart(*helpers)) {
            // Nothing to spare, or the helper was taken: look again a few entries on.
            offerPause_ = entriesBetweenFailedOffers;
        }
    }

    // Hands the last part of the entries still due in the farthest-up folder whose handle
    // is open (the handles of folders farther up are closed) to an idle helper.
    bool handPart(RemovalHelpers& helpers) {
        const std::size_t maxOpen = removal_.maxOpenFolders();
        const std::size_t first = stack_.size() > maxOpen ? stack_.size() - maxOpen : 0;
        for (std::size_t depth = first; depth < stack_.size(); ++depth) {
            OpenFolder& folder = stack_[depth];
            // Entries after the one being worked on: at the deepest folder it is about to
            // be looked at, farther up it is the folder the walk is in.
            const std::size_t cut =
                folder.listing.tailStart(folder.position, 2 * (helpers.limit() + 1));
            if (!folder.fd || cut >= folder.listing.endPosition()) {
                continue;
            }
            HandedEntries* part = removal_.reserve(this, depth);
            if (part == nullptr) {
                return false;
            }
            UniqueFd duplicate(::fcntl(folder.fd.get(), F_DUPFD_CLOEXEC, 0));
            if (!duplicate) {
                removal_.done(part);
                return false;
            }
            try {
                part->listing = folder.listing.splitOff(cut);
            } catch (...) {
                removal_.done(part);
                throw;
            }
            part->folder = std::move(duplicate);
            part->identity = folder.identity;
            if (!helpers.tryRun({&TreeRemover::removeHanded, part})) {
                folder.listing.rejoin(std::move(part->listing));
                part->folder.reset();
                removal_.done(part);
                return false;
            }
            ++handedOut_;
            return true;
        }
        return false;
    }

    void advance() {
        OpenFolder& folder = stack_.back();
        folder.position = folder.listing.nextPosition(folder.position);
    }

    // Lists the folder and makes it the current one; a listing that fails part-way ends
    // the removal.
    void enter(UniqueFd fd, const FolderIdentity& identity) {
        OpenFolder folder;
        if (Status<SystemError> listed = folder.listing.read(fd.get(), scratch_); !listed) {
            fail(Unexpected(std::move(listed).error()));
            return;
        }
        folder.fd = std::move(fd);
        folder.identity = identity;
        stack_.push_back(std::move(folder));
        const std::size_t maxOpen = removal_.maxOpenFolders();
        if (stack_.size() > maxOpen) {
            stack_[stack_.size() - 1 - maxOpen].fd.reset();
        }
    }

    // Measures the current entry and, by its kind, enters it, removes it or, when it lies on
    // another mount, leaves it.
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
        if (status->stx_mnt_id != removal_.topMount()) {
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
            if (opened->stx_mnt_id != removal_.topMount()) {
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

    // Waits until the parts handed from the folders at stack depth `depth` and below are
    // done.
    void joinHanded(std::size_t depth) {
        if (handedOut_ > 0) {
            handedOut_ = removal_.waitFor(this, depth);
        }
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

    // The current folder is done: wait for the parts of it handed out, climb back to
    // its parent (re-opening it through ".." if its handle was closed) and remove the now
    // empty folder.
    void leave() {
        joinHanded(stack_.size() - 1);
        if (removal_.stopped()) {
            return;
        }
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

    Removal& removal_;
    std::vector<OpenFolder> stack_;
    std::vector<char> scratch_;
    std::int64_t bytes_ = 0;
    std::size_t handedOut_ = 0;   // parts handed out and perhaps not done yet
    std::size_t offerPause_ = 0;  // entries to go before work is offered again
};

}  // namespace

Expected<std::int64_t, SystemError> removeContents(UniqueFd top, std::size_t maxOpenFolders,
                                                   RemovalHelpers* helpers) {
    const Expected<struct statx, SystemError> status = statHandle(top.get());
    if (!status) {
        return Unexpected(status.error());
    }
    Removal removal(status->stx_mnt_id, maxOpenFolders, helpers);
    {
        TreeRemover walker(removal);
        walker.walk(std::move(top), identityOf(*status));
    }
    return removal.result();
}

}  // namespace tavelin
