#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/fs/RemovalHelpers.h"

namespace tavelin {

// The one way the daemon touches a path a client named.
//
// Every client path is resolved below a root directory handle (the daemon's is "/", tests
// use a scratch directory), with openat2(RESOLVE_IN_ROOT | RESOLVE_NO_SYMLINKS): ".." never
// climbs above the root and no symbolic link is followed in any component before the last.
// The last component is then handled relative to its parent's handle, never by re-resolving
// a path string, so a component swapped for a link after the check cannot redirect an
// operation.
//
// A relative client path is acted on at the current directory joined with it, the same
// absolute path the policy judges (see currentDirectory()), never relative to the root
// handle itself.
//
// A trailing slash asks for a folder: "x/" on anything but a folder (a link to a folder
// included) fails with ENOTDIR.
//
// All members are const and the object holds no mutable state: one instance may be used
// by any number of threads at once. Move-only (it owns the root handle).
//
// A removal shares its walk with the process's removal helpers (RemovalHelpers::shared(),
// at most maxRemovalThreads threads on one removal, and as many helpers for the whole
// process) unless the file system was opened with other helpers or none.
class ClientFileSystem {
  public:
    // Opens `rootDirectory`, a path of this process (not a client path), as the root.
    // `currentDirectory` is the client-visible absolute folder relative client paths are
    // joined to; it must begin with "/". `helpers` share the walks of removals (null: each
    // removal walks alone on its caller's thread); they must outlive the file system.
    // Fails with the errno of the open (or EINVAL for a relative current directory).
    [[nodiscard]] static Expected<ClientFileSystem, SystemError> open(
        const std::string& rootDirectory, std::string currentDirectory = "/",
        RemovalHelpers* helpers = &RemovalHelpers::shared());

    // The absolute client folder relative paths are judged against and acted on at.
    [[nodiscard]] const std::string& currentDirectory() const noexcept { return currentDirectory_; }

    // `clientPath` made absolute by joining it to the current directory (text only; no
    // normalisation, so what is acted on is exactly what was named).
    [[nodiscard]] std::string absolutePath(std::string_view clientPath) const;

    // Removes the item: a file, a link (as a link; its target is untouched) or a folder
    // with everything in it. Answers the bytes it occupied, measured in the same walk just
    // before each entry went: for anything but a folder its length (st_size; a link's own
    // length), for a folder the sum of st_blocks * 512 over every entry below it, the
    // folder itself not counted, stopping at INT64_MAX. Links inside the tree are not
    // followed. Nothing on another mount than the item's parent folder is touched (mounts
    // are told apart by mount id, so bind mounts of the same file system count): an item
    // that is itself a mount point fails with EXDEV; a folder or file mounted inside the
    // tree stays with all behind it, the rest goes, and the folder holding it fails to be
    // removed with ENOTEMPTY. Mounts along the path to the parent folder are crossed as any
    // lookup crosses them. Stops at the first entry that cannot be removed and fails with
    // its error; what was removed before stays removed, and the bytes measured so far are
    // dropped, since the item was not removed.
    [[nodiscard]] Expected<std::int64_t, SystemError> measureAndRemove(
        std::string_view clientPath) const;

    // Sets the permission bits of the item itself to `mode` (owner, group, other and the
    // set-id/sticky bits; nothing else changes). Never follows a link: a symbolic link at
    // the named path, or in any component before it, fails with ELOOP ("Too many levels of
    // symbolic links"), and nothing is changed.
    [[nodiscard]] Status<SystemError> setPermissions(std::string_view clientPath,
                                                     mode_t mode) const;

  private:
    ClientFileSystem(UniqueFd root, std::string currentDirectory, RemovalHelpers* helpers)
        : root_(std::move(root)),
          currentDirectory_(std::move(currentDirectory)),
          helpers_(helpers) {}

    UniqueFd root_;
    std::string currentDirectory_;
    RemovalHelpers* helpers_;
};

}  // namespace tavelin
