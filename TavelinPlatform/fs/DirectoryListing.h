#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "TavelinPlatform/core/SystemError.h"

namespace tavelin {

// The names in one folder, read in full before the walk acts on any of them, so that the
// folder's handle may be closed and re-opened later without losing the place. Names are
// kept back to back, each ended by a NUL, which keeps a deep walk's memory small.
//
// They are kept in the order of their inode numbers (as rm removes them), not in the
// folder's: on a disk file system neighbouring inodes share blocks of the inode table, so
// looking at and unlinking them in that order touches each block once. Sorting takes
// 16 bytes per entry and a second copy of the names while the folder is read; only the
// names stay.
class DirectoryListing {
  public:
    // Reads every entry of the folder open as `fd` (from its current offset) with
    // getdents64, "." and ".." left out. `scratch` is the read buffer, reused between calls.
    // Fails with the failed read's error; the entries read before it stay.
    // The names come out in inode order.
    [[nodiscard]] Status<SystemError> read(int fd, std::vector<char>& scratch);

    // The NUL-terminated name at `position` (0 is the first); valid while the listing
    // lives, moves included. Precondition: position < endPosition().
    [[nodiscard]] const char* nameAt(std::size_t position) const noexcept {
        return names_.data() + position;
    }
    // The position after the name at `position`.
    [[nodiscard]] std::size_t nextPosition(std::size_t position) const noexcept;
    [[nodiscard]] std::size_t endPosition() const noexcept { return names_.size(); }

    // Where the last part of the names after the one at `after` begins, about a
    // 1/`parts` share of them (at least one name): a position after `after`, or
    // endPosition() when no name follows it.
    [[nodiscard]] std::size_t tailStart(std::size_t after, std::size_t parts) const noexcept;
    // Moves the names from `position` (a name's start) to the end into a listing of their
    // own, in the same order; this one then ends at `position`.
    [[nodiscard]] DirectoryListing splitOff(std::size_t position);
    // Puts names split off back at the end (they came from there).
    void rejoin(DirectoryListing&& tail);

  private:
    struct InodeAndName {
        std::uint64_t inode = 0;
        std::size_t position = 0;  // in names_
    };
    void sortByInode(std::vector<InodeAndName>& order);

    std::vector<char> names_;
};

}  // namespace tavelin
