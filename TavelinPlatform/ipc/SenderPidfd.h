#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>

#include "SystemError.h"
#include "UniqueFd.h"

namespace tavelin {

// Per-message sender identity on a connected AF_UNIX stream socket (SO_PASSPIDFD,
// Linux >= 6.5). With it enabled on the receiving socket, the kernel tags every chunk of
// bytes with the process that wrote it and never merges bytes of two different writers
// into one recvmsg, so each chunk can be checked on its own.

// Turns on SO_PASSPIDFD. Bytes written before this call carry no sender.
[[nodiscard]] Status<SystemError> enableSenderPidfds(int socketFd);

// Whether this kernel can tag received bytes with their sender at all (tried on a fresh
// socket pair). Without it no connection could ever be served, so the daemon checks once
// at start-up and refuses to run rather than silently closing every connection.
[[nodiscard]] Status<SystemError> checkSenderPidfdSupport();

// The size of one received chunk and the pidfd of the process that wrote it.
struct ReceivedChunk {
    std::size_t size = 0;  // 0: the peer closed its end
    UniqueFd senderPidfd;  // invalid when the chunk came without a sender (see below)
};

// One recvmsg into `buffer` (up to `capacity` bytes), retried on EINTR. The sender pidfd
// is received close-on-exec. A chunk that carries anything but a single SCM_PIDFD
// (descriptors passed with SCM_RIGHTS, a truncated control block) comes back without a
// sender, and every descriptor that came with it is closed at once.
[[nodiscard]] Expected<ReceivedChunk, SystemError> receiveWithSender(int socketFd, char* buffer,
                                                                     std::size_t capacity);

// One process as its pidfd identifies it, taken once and compared with many pidfds.
class ProcessIdentity {
  public:
    // Nothing when `pidfd` is invalid or cannot be examined. `fdinfoDirectory` is this
    // process's /proc/self/fdinfo opened beforehand, for a process that can no longer see
    // /proc (one locked into an empty root); -1 opens it by path when needed. Borrowed: it
    // must stay open while the identity is used.
    [[nodiscard]] static std::optional<ProcessIdentity> of(int pidfd, int fdinfoDirectory = -1);

    // True when `otherPidfd` refers to the same process. On pidfs (Linux >= 6.9) that is
    // the same inode; on older kernels the "Pid:" lines of both pidfds' fdinfo must agree
    // and name a live process. False for an invalid descriptor.
    [[nodiscard]] bool matches(int otherPidfd) const;

  private:
    ProcessIdentity() = default;

    int pidfd_ = -1;  // borrowed; for the fdinfo comparison on older kernels
    int fdinfoDirectory_ = -1;
    bool onPidfs_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// True when both pidfds refer to the same process (ProcessIdentity::of(a)->matches(b)).
[[nodiscard]] bool isSameProcess(int pidfdA, int pidfdB);

}  // namespace tavelin
