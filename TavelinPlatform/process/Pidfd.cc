#include "TavelinPlatform/process/Pidfd.h"

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tavelin {

// Where the C library names them, they must be the values used here.
#ifdef SO_PEERPIDFD
static_assert(SO_PEERPIDFD == peerPidfdOption);
#endif
#ifdef SO_PASSPIDFD
static_assert(SO_PASSPIDFD == passPidfdOption);
#endif

Expected<UniqueFd, SystemError> openPidfd(pid_t pid) {
    const long pidfd = ::syscall(SYS_pidfd_open, pid, 0U);
    if (pidfd < 0) {
        return lastSystemError("pidfd_open");
    }
    return UniqueFd(static_cast<int>(pidfd));
}

UniqueFd peerPidfdOf(int socketFd) {
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (::getsockopt(socketFd, SOL_SOCKET, peerPidfdOption, &pidfd, &length) != 0 ||
        length != sizeof pidfd) {
        return UniqueFd();
    }
    return UniqueFd(pidfd);
}

}  // namespace tavelin
