#pragma once

#include <sys/types.h>

#include <optional>

#include "UniqueFd.h"

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

// Opens the executable file the peer runs (read-only, close-on-exec) through
// /proc/<pid>/exe, and proves with the pidfd that /proc/<pid> still belongs to the
// recorded process, so a reused pid can never lend its executable to a peer.
// Returns nothing when the peer has exited, is a zombie or its executable is unreadable.
[[nodiscard]] std::optional<UniqueFd> openPeerExecutable(const PeerProcess& peer);

// True when the peer is being traced right now (TracerPid in /proc/<pid>/status is not 0),
// or when its status cannot be read or no longer belongs to the recorded process.
// A tracer can change a signed process's code at will, so such a peer is never admitted.
[[nodiscard]] bool isPeerTracedOrGone(const PeerProcess& peer);

// True when the peer still runs the file that `executableFd` (from openPeerExecutable)
// refers to, i.e. it has not exec'd another file since; false when it is gone.
[[nodiscard]] bool isRunningExecutable(const PeerProcess& peer, int executableFd);

}  // namespace tavelin
