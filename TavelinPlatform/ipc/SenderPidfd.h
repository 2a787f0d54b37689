#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

// Per-message sender identity on a connected AF_UNIX stream socket (SO_PASSPIDFD,
// Linux >= 6.5). With it enabled on the receiving socket, the kernel tags every chunk of
// bytes with the process that wrote it and never merges bytes of two different writers
// into one recvmsg, so each chunk can be checked on its own.

// Turns on SO_PASSPIDFD. Bytes written before this call carry no sender.
[[nodiscard]] Status<SystemError> enableSenderPidfds(int socketFd);

// Whether this kernel can tag received bytes with their sender's pidfd (tried on a fresh
// socket pair).
[[nodiscard]] Status<SystemError> checkSenderPidfdSupport();

// How the senders of received bytes are told apart on this kernel.
enum class SenderIdentification {
    // Linux >= 6.9: SO_PEERPIDFD pins the peer at connect(), SO_PASSPIDFD tags each chunk
    // with its writer's pidfd, and pidfs gives every process one inode, so two pidfds are
    // compared with fstat alone.
    pidfds,
    // Linux 5.3 to 6.8: the peer is pinned with pidfd_open on its SO_PEERCRED pid right
    // after it was accepted, and each chunk carries its writer's pid (SO_PASSCRED), which
    // must be the pinned process's while that process still lives. Weaker: a peer that
    // exits between its connect() and the pinning can leave its pid to another process.
    // (6.5 to 6.8 have SO_PASSPIDFD, but telling two pidfds apart there takes
    // /proc/self/fdinfo, a directory handle that would lead a confined process out of its
    // empty root.)
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
    UniqueFd senderPidfd;  // SO_PASSPIDFD: invalid when the chunk came without a sender
    pid_t senderPid = 0;   // SO_PASSCRED: 0 when the chunk came without a sender
};

// One recvmsg into `buffer` (up to `capacity` bytes), retried on EINTR. The sender pidfd
// is received close-on-exec. A chunk that carries anything but a single SCM_PIDFD or a
// single SCM_CREDENTIALS (descriptors passed with SCM_RIGHTS, a truncated control block)
// comes back without a sender, and every descriptor that came with it is closed at once.
[[nodiscard]] Expected<ReceivedChunk, SystemError> receiveWithSender(int socketFd, char* buffer,
                                                                     std::size_t capacity);

// One process as its pidfd identifies it, taken once and compared with many pidfds.
class ProcessIdentity {
  public:
    // Nothing when `pidfd` is invalid or cannot be examined. `pid`: the process's pid as
    // this process sees it (what the pidfd was opened for). The pidfd is borrowed: it must
    // stay open while the identity is used.
    [[nodiscard]] static std::optional<ProcessIdentity> of(int pidfd, pid_t pid);

    // True when `otherPidfd` refers to the same process. On pidfs (Linux >= 6.9) that is
    // the same inode; on older kernels the "Pid:" lines of both pidfds' fdinfo (read by
    // path: false where /proc is out of sight) must agree and name a live process. False
    // for an invalid descriptor.
    [[nodiscard]] bool matches(int otherPidfd) const;

    // True when the process still runs and has `pid`: then no other process can have had
    // that pid since the identity was taken. False for pid <= 0.
    [[nodiscard]] bool matchesPid(pid_t pid) const;

  private:
    ProcessIdentity() = default;

    int pidfd_ = -1;  // borrowed
    pid_t pid_ = 0;
    bool onPidfs_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// True when both pidfds refer to the same process (ProcessIdentity::of(a)->matches(b)).
[[nodiscard]] bool isSameProcess(int pidfdA, int pidfdB);

}  // namespace tavelin
