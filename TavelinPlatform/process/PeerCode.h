#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "TavelinPlatform/core/SystemError.h"

namespace tavelin {

// Whether the code running in a peer is the code its executable's signature vouches for.
// A signature covers one file; these are the ways a process can run other code while
// /proc/<pid>/exe still names a signed file.
enum class PeerCodeFinding : std::uint8_t {
    clean = 0,
    // The peer lives in another user namespace than ours. Inside its own namespace an
    // unprivileged user holds CAP_SYS_ADMIN and can point its "exe" at any file
    // (prctl PR_SET_MM_MAP) while running code of its own.
    otherUserNamespace = 1,
    // No executable mapping of the peer comes from the file "exe" names: the named code is
    // not what runs.
    executableNotMapped = 2,
    // An executable mapping comes from a file that someone other than the code's trusted
    // owners could have written: a preloaded, audited or look-alike library.
    foreignCodeMapped = 3,
    // The mappings could not be read whole (or there were more than we read): nothing can
    // be vouched for.
    mappingsUnreadable = 4,
    // A client group is required and the peer did not connect with it as its effective
    // group: it was not started by a set-group-id exec of the installed client, the one
    // start in which the loader ignores LD_* and the kernel bars same-user ptrace.
    withoutClientGroup = 5,
    // The executable itself is a file someone other than its trusted owners could have
    // written (foreignCodeMapped, for the one file a signature names).
    executableNotTrusted = 6,
};

inline constexpr PeerCodeFinding lastPeerCodeFinding = PeerCodeFinding::executableNotTrusted;

[[nodiscard]] std::string_view peerCodeFindingName(PeerCodeFinding finding) noexcept;

// What a mapped code file and the peer's namespace are measured against.
struct CodeTrust {
    // Besides root, the one account whose files may hold code a client runs: the user a
    // development build trusts to run the daemon (nothing in a release build).
    std::optional<uid_t> developer;
    // Our own user namespace (its nsfs device and inode).
    dev_t userNamespaceDevice = 0;
    ino_t userNamespaceInode = 0;
    // The group the installed client is set-group-id to, when the daemon requires it as
    // the peer's effective group (a packaging choice; none by default).
    std::optional<gid_t> clientGroup;

    // Our own user namespace, `developer` and `clientGroup`.
    [[nodiscard]] static Expected<CodeTrust, SystemError> ofThisProcess(
        std::optional<uid_t> developer, std::optional<gid_t> clientGroup = std::nullopt);

    // Whether code in a file with this status may run in a client: owned by root (or the
    // developer) and writable by no one else.
    [[nodiscard]] bool trustsCodeFile(const struct stat& status) const noexcept;
};

// The longest /proc/<pid>/maps we read; a peer with more mappings is refused
// (mappingsUnreadable). A client of ours maps a few dozen; this bounds what a hostile peer
// can make one admission cost.
inline constexpr std::size_t maxMappingsBytes = std::size_t{1} << 20;

// Examines the peer whose pidfd-confirmed /proc directory is `procDirectory` and whose
// executable has `executable` as its status: same user namespace as ours, the executable
// among its executable mappings, and every file behind an executable mapping trusted.
// Anonymous executable memory (a JIT, the vDSO) is allowed: it holds no file's code. The
// file behind a mapping is looked up (stat) through map_files (root), or, where that is
// refused, by the path the mapping shows and accepted only if it is the very inode mapped.
[[nodiscard]] PeerCodeFinding examinePeerCode(int procDirectory, const struct stat& executable,
                                              const CodeTrust& trust);

}  // namespace tavelin
