#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/process/PeerCode.h"

namespace tavelin {

// The process on the other end of an accepted AF_UNIX connection, as recorded at accept
// time. The pidfd pins the process itself: whatever happens to the numeric pid later (the
// peer exits, the pid is handed to another process), the pidfd never names anyone else.
struct PeerProcess {
    UniqueFd pidfd;
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Reads the peer of a connected AF_UNIX socket: SO_PEERCRED for pid, uid and gid, and
// SO_PEERPIDFD (Linux >= 6.5) for the pidfd. Where SO_PEERPIDFD is unavailable the pidfd
// is taken with pidfd_open(pid) at once; that leaves the short window between the peer's
// connect() and this call in which the pid could already name another process.
// Call it right after accept(). Returns nothing when the socket has no peer credentials
// or no pidfd can be obtained (e.g. the peer has already exited and been reaped).
[[nodiscard]] std::optional<PeerProcess> peerProcessOfSocket(int socketFd);

// What admission learns of a peer in one look through its pinned /proc directory: the
// executable it runs now, who traces it, and whether the code it runs is that executable's.
struct PeerEvidence {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t tracerPid = 0;  // 0: not traced
    UniqueFd executable;  // read-only, close-on-exec, a regular file
    PeerCodeFinding code = PeerCodeFinding::clean;
};

// One look at the peer. The executable is opened through /proc/<pid>/exe after the pidfd
// has proven that /proc/<pid> still belongs to the recorded process, so a reused pid can
// never lend its executable to a peer; "exe" yields the very file the process was started
// from, even if its path has since been renamed or replaced. A tracer can change a signed
// process's code at will, so admission refuses a traced peer. Fails with ESRCH when it has exited
// or its /proc directory no longer belongs to it, with the open's errno when its executable cannot
// be opened, with EIO when its status cannot be read. The code it runs is examined against
// `trust` (examinePeerCode).
[[nodiscard]] Expected<PeerEvidence, SystemError> inspectPeer(const PeerProcess& peer,
                                                              const CodeTrust& trust);

// The executable a process runs, named by its device and inode.
struct ExecutableIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const ExecutableIdentity&, const ExecutableIdentity&) = default;
};

// The peer's /proc directory, proven to belong to it: opened first, then the pidfd checked,
// so a reused pid cannot lend its directory. Lookups through it keep naming that one process
// and fail once it has exited. Invalid when the peer is gone.
[[nodiscard]] UniqueFd openPeerDirectory(const PeerProcess& peer);

// Whether the process of `peerDirectory` (openPeerDirectory) still runs `executable`: false
// once it has exec'd another program, or exited. The cheap check made before every
// operation: one lookup, no file opened.
[[nodiscard]] bool stillRuns(int peerDirectory, const ExecutableIdentity& executable);

// When the process of `peerDirectory` started, in clock ticks after boot (/proc/<pid>/stat
// field 22): with the pid, what names one process for its whole life. Nothing once the
// process has exited.
[[nodiscard]] std::optional<std::uint64_t> startTimeOf(int peerDirectory);

}  // namespace tavelin
