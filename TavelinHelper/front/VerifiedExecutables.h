#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <vector>

#include "TavelinPlatform/core/Mutex.h"
#include "TavelinPlatform/identity/CodeVerifier.h"
#include "TavelinPlatform/identity/Requirement.h"
#include "TavelinPlatform/identity/TrustAnchor.h"

namespace tavelin {

// The most executables VerifiedExecutables remembers. A host runs a few signed clients
// (tavelinctl, an application or two), and only executables of root that satisfied the
// requirement are remembered, so no client can add entries at will; the bound keeps what
// root's changes (each a new version of a file) leave behind. Past it, the entry used
// longest ago is dropped: its next admission hashes the file again. About 80 bytes each.
inline constexpr std::size_t maxVerifiedExecutables = 64;

// What names one version of a file's content on this host: its device and inode, its size
// and the times of its last modification and of its last change of status, to the
// nanosecond, as fstat tells them. Writing to a file changes its modification and change
// times; so do truncating and growing it; setting the modification time back (utimensat)
// changes the change time, which nobody can set. Another file is another inode.
struct FileVersion {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedSeconds = 0;
    long modifiedNanoseconds = 0;
    std::int64_t changedSeconds = 0;
    long changedNanoseconds = 0;

    [[nodiscard]] static FileVersion of(const struct stat& status) noexcept;
    friend bool operator==(const FileVersion&, const FileVersion&) = default;
};

// The executables whose signature the front has verified, so that admitting a client that
// runs one again costs no hash. What an entry stands for is checkCode(fd, anchor,
// requirement) == satisfied for one version of one file; the anchor and the requirement are
// this object's own, fixed when it is made (the front's are fixed for its life), so an
// entry never answers for another anchor or requirement. Remembered are only:
//   - satisfied checks (a refusal is checked afresh each time, as it costs no hash or little);
//   - files of root that neither group nor others may write (rememberable()), so that only
//     root could change one; a development build's files of the developer are checked afresh
//     every time, as that user can write them;
//   - files whose version was the same before and after the check: one written meanwhile
//     may have been hashed half old, half new;
// and an entry answers only while the signer's chain is still valid (its dates), as a
// fresh check would. docs/code-signing.md tells why this is safe.
// Thread-safe: admissions on several work threads share one; the hash runs outside the lock.
class VerifiedExecutables {
  public:
    // Both must outlive this object and never change.
    VerifiedExecutables(const TrustAnchor& anchor, const Requirement& requirement)
        : anchor_(anchor), requirement_(requirement) {}
    VerifiedExecutables(const VerifiedExecutables&) = delete;
    VerifiedExecutables& operator=(const VerifiedExecutables&) = delete;

    // checkCode(fd, anchor, requirement), answered without reading the file when this
    // version of it (fstat of `fd`) has satisfied them before and the chain is valid now.
    // `fd` must be the descriptor the caller vouches for: the one it found the peer runs.
    [[nodiscard]] CodeCheck check(int fd);

    // Whether a file with this status may be remembered: a regular file of root that
    // neither group nor others may write (nor, through an ACL's mask, anyone else).
    [[nodiscard]] static bool rememberable(const struct stat& status) noexcept;

    [[nodiscard]] const TrustAnchor& anchor() const noexcept { return anchor_; }
    [[nodiscard]] const Requirement& requirement() const noexcept { return requirement_; }

    // For tests and measuring: how many entries there are, and how many checks an entry
    // answered.
    [[nodiscard]] std::size_t size() const;
    [[nodiscard]] std::uint64_t hits() const;

  private:
    struct Entry {
        FileVersion version;
        ValidityPeriod validity;
        std::uint64_t lastUse = 0;  // useClock_ when it was last added or answered
    };

    // Whether `version` has an entry valid at `now`; marks it used. An entry whose chain
    // is no longer valid is dropped.
    bool answers(const FileVersion& version, std::time_t now);
    // Adds (or renews) the entry, dropping the one used longest ago when full.
    void remember(const FileVersion& version, const ValidityPeriod& validity);

    const TrustAnchor& anchor_;
    const Requirement& requirement_;
    mutable Mutex mutex_;
    std::vector<Entry> entries_ GUARDED_BY(mutex_);  // at most maxVerifiedExecutables
    std::uint64_t useClock_ GUARDED_BY(mutex_) = 0;
    std::uint64_t hits_ GUARDED_BY(mutex_) = 0;
};

}  // namespace tavelin
