#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

// Per-message sender identity on a connected AF_UNIX stream socket. With SO_PASSCRED on
// the receiving socket, the kernel tags every chunk of bytes with the pid of the process
// that wrote it and never merges bytes of two different writers into one recvmsg, so each
// chunk can be checked on its own against the peer pinned by a pidfd.

// Turns on SO_PASSPIDFD: used only to learn whether the kernel has it, and with it
// SO_PEERPIDFD (both came with Linux 6.5).
[[nodiscard]] Status<SystemError> enableSenderPidfds(int socketFd);

// Whether this kernel can tag received bytes with their sender's pidfd (tried on a fresh
// socket pair).
[[nodiscard]] Status<SystemError> checkSenderPidfdSupport();

// How the peer whose chunks are checked is pinned on this kernel.
enum class SenderIdentification {
    // Linux >= 6.9 (pidfs): SO_PEERPIDFD pins the peer at its connect().
    pidfds,
    // Linux 5.3 to 6.8: the peer is pinned with pidfd_open on its SO_PEERCRED pid right
    // after it was accepted. Weaker: a peer that exits between its connect() and the
    // pinning can leave its pid to another process.
    credentials,
};

// The best this kernel offers; fails (ENOSYS) on a kernel without pidfd_open (before 5.3),
// where no peer can be pinned at all.
[[nodiscard]] Expected<SenderIdentification, SystemError> senderIdentificationOfKernel();

// Turns on SO_PASSCRED: every chunk then carries its writer's pid, uid and gid.
[[nodiscard]] Status<SystemError> enableSenderCredentials(int socketFd);

// The size of one received chunk and who wrote it.
struct ReceivedChunk {
    std::size_t size = 0;  // 0: the peer closed its end
    pid_t senderPid = 0;   // SO_PASSCRED: 0 when the chunk came without a sender
};

// One recvmsg into `buffer` (up to `capacity` bytes), retried on EINTR. A chunk that
// carries anything but a single SCM_CREDENTIALS (descriptors passed with SCM_RIGHTS or
// SCM_PIDFD, a truncated control block) comes back without a sender, and every descriptor
// that came with it is closed at once.
[[nodiscard]] Expected<ReceivedChunk, SystemError> receiveWithSender(int socketFd, char* buffer,
                                                                     std::size_t capacity);

// One process as its pidfd pins it, against which the writers of many chunks are checked.
class ProcessIdentity {
  public:
    // Nothing when `pidfd` is invalid. `pid`: the process's pid as this process sees it
    // (what the pidfd was opened for). The pidfd is borrowed: it must stay open while the
    // identity is used.
    [[nodiscard]] static std::optional<ProcessIdentity> of(int pidfd, pid_t pid);

    // True when the process still runs and has `pid`: then no other process can have had
    // that pid since the identity was taken. False for pid <= 0.
    [[nodiscard]] bool matchesPid(pid_t pid) const;

  private:
    ProcessIdentity() = default;

    int pidfd_ = -1;  // borrowed
    pid_t pid_ = 0;
};

}  // namespace tavelin
