#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "TavelinClient/ClientError.h"
#include "TavelinClient/src/CallDeadline.h"
#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinShared/Expected.h"

// Moving frames over the client's connection without ever waiting past a deadline: a
// daemon that stops reading cannot hold a send, one that stops writing cannot hold a read.
namespace tavelin {

// Writes all of `bytes`. `closedKind` is what the daemon having closed its end means here.
[[nodiscard]] Status<ClientError> sendBefore(int fd, std::string_view bytes,
                                             const CallDeadline& deadline,
                                             ClientErrorKind closedKind);

// The longest a receive waits in the kernel before the deadline is looked at again.
inline constexpr std::chrono::milliseconds receiveQuantum{1000};

// Bounds every receive's wait on `fd` to receiveQuantum (SO_RCVTIMEO); receiveBefore
// counts on it for a connection it reads from.
[[nodiscard]] Status<SystemError> boundReceiveWaits(int fd);

// Reads until `reader` holds one complete frame body and returns it. `closedKind` is what
// the daemon closing the stream means at this point of the conversation.
[[nodiscard]] Expected<std::string, ClientError> receiveBefore(int fd, FrameReader& reader,
                                                               const CallDeadline& deadline,
                                                               ClientErrorKind closedKind);

// The error values the client's steps end in.
[[nodiscard]] Unexpected<ClientError> clientError(ClientErrorKind kind, std::string detail = {});
[[nodiscard]] Unexpected<ClientError> systemFailure(const SystemError& error);
[[nodiscard]] Unexpected<ClientError> protocolFailure(std::string_view what);
// "<what>: <the frame error's name>", a protocolError.
[[nodiscard]] Unexpected<ClientError> frameFailure(std::string_view what, FrameError error);

}  // namespace tavelin
