#pragma once

#include <sys/types.h>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

// Socket options that older C library headers do not name yet; the values are the kernel's
// ABI. SO_PEERPIDFD (Linux 6.5) reads a pidfd of a connection's peer as it was at
// connect(); SO_PASSPIDFD (Linux 6.5) makes every message carry its sender's pidfd.
inline constexpr int peerPidfdOption = 77;
inline constexpr int passPidfdOption = 76;

// A pidfd for `pid`, close-on-exec by nature; fails with the pidfd_open error. Only for an
// unreaped child of ours can the pid not have been reused for another process meanwhile.
[[nodiscard]] Expected<UniqueFd, SystemError> openPidfd(pid_t pid);

// The pidfd the kernel took of the peer of the connected AF_UNIX socket `socketFd` at
// connect() (SO_PEERPIDFD). None when it cannot be read, errno saying why: ENOPROTOOPT
// or EINVAL on a kernel before 6.5.
[[nodiscard]] UniqueFd peerPidfdOf(int socketFd);

}  // namespace tavelin
