#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

// AF_UNIX stream sockets in the abstract namespace: the address is a NUL byte followed by
// the name, with no trailing NUL and no file behind it. Every descriptor made here is
// close-on-exec, every call is retried on EINTR, and every send uses MSG_NOSIGNAL, so a
// peer that vanishes yields EPIPE instead of a SIGPIPE.

// The longest name that fits into sockaddr_un after the leading NUL byte (107 on Linux).
[[nodiscard]] std::size_t maxAbstractNameLength() noexcept;

// Creates a socket bound to the abstract `name` and listening with `backlog` (the kernel
// caps it at net.core.somaxconn). Fails with EADDRINUSE when the name is taken, with
// ENAMETOOLONG (context "name") for an empty or too long name.
[[nodiscard]] Expected<UniqueFd, SystemError> listenOnAbstractName(std::string_view name,
                                                                   int backlog = 4096);

// What a bound AF_UNIX socket listens on, as people name it: the abstract name (without
// its NUL byte), or the file's path. Empty when it is neither.
[[nodiscard]] std::string listeningNameOf(int socketFd);

// Connects a blocking stream socket to the abstract `name`. Fails with ECONNREFUSED when
// nobody listens there.
[[nodiscard]] Expected<UniqueFd, SystemError> connectToAbstractName(std::string_view name);

// The same, but a connect that waits because the listener's backlog is full gives up after
// `timeout` (at least a microsecond) with EAGAIN. The socket returned has no timeout left.
[[nodiscard]] Expected<UniqueFd, SystemError> connectToAbstractName(
    std::string_view name, std::chrono::microseconds timeout);

// Accepts one connection (blocking unless the listener is non-blocking), close-on-exec.
// Fails with the errno of accept4, e.g. EAGAIN on a non-blocking listener with no client.
[[nodiscard]] Expected<UniqueFd, SystemError> acceptConnection(int listeningFd);

// Sends all of `bytes` (looping over short sends), MSG_NOSIGNAL.
[[nodiscard]] Status<SystemError> sendAll(int fd, std::string_view bytes);

// One recv of up to `capacity` bytes into `buffer` (resized to what arrived).
// An empty buffer means the peer closed its end. Retries on EINTR.
[[nodiscard]] Status<SystemError> receiveSome(int fd, std::string& buffer, std::size_t capacity);

// The credentials of the peer of a connected socket (SO_PEERCRED).
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};
[[nodiscard]] Expected<PeerCredentials, SystemError> peerCredentials(int socketFd);

}  // namespace tavelin
