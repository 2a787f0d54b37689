#pragma once

#include <optional>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/core/UniqueFd.h"

namespace tavelin {

// The listening socket a service manager handed over through the socket-activation
// protocol (LISTEN_PID, LISTEN_FDS, descriptors from 3 upwards).
//
// - LISTEN_PID unset, unparsable or naming another process (the variables were inherited
//   from a parent that was meant): no socket (nullopt); the daemon binds its own.
// - LISTEN_FDS must be a decimal count in 1..maxActivatedSockets; otherwise a failure
//   with EINVAL and context "LISTEN_FDS".
// - Every handed descriptor gets FD_CLOEXEC (a failure names "fcntl(<fd>)"). Descriptor 3
//   must be a listening AF_UNIX stream socket, else the failure names "descriptor 3";
//   it is returned owned. Any further descriptors are closed: we serve one socket only.
// - LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES are removed from the environment in every
//   case, so no child ever believes it was handed our descriptors.
//
// Reads and changes the process environment: call it during start-up, before any other
// thread exists.
[[nodiscard]] Expected<std::optional<UniqueFd>, SystemError> takeActivatedSocket();

// The one connection a socket unit with Accept=yes hands to the process it starts for it:
// the same rules as above, except that descriptor 3 must be a connected (not listening)
// AF_UNIX socket of `type` (SOCK_STREAM, SOCK_SEQPACKET).
[[nodiscard]] Expected<std::optional<UniqueFd>, SystemError> takeActivatedConnection(int type);

inline constexpr int firstActivatedFd = 3;
inline constexpr int maxActivatedSockets = 64;

}  // namespace tavelin
