#include "TavelinClient/src/FrameExchange.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>
#include <utility>

#include "TavelinPlatform/core/RetryOnInterrupt.h"
#include "TavelinPlatform/core/SystemError.h"
#include "TavelinPlatform/ipc/UnixSocket.h"

namespace tavelin {
namespace {

// Receive chunk size: a reply of a few dozen bytes arrives in one recv. Kept small
// because the buffer is sized (and zero-filled) to it before every recv, which for a
// version round trip of a few microseconds is not free; large answers simply take more
// recv calls.
constexpr std::size_t receiveChunk = 4096;

// Waits until `fd` is ready for `events` (or closed, or failed: the call that follows
// tells which), or the deadline has passed (timedOut).
Status<ClientError> awaitReady(int fd, short events, const CallDeadline& deadline) {
    for (;;) {
        const std::chrono::milliseconds left = deadline.left();
        if (left.count() <= 0) {
            return clientError(ClientErrorKind::timedOut, deadline.detail);
        }
        pollfd watched{fd, events, 0};
        const int ready = ::poll(&watched, 1,
                                 static_cast<int>(std::min<std::chrono::milliseconds::rep>(
                                     left.count(), std::numeric_limits<int>::max())));
        if (ready > 0) {
            return {};
        }
        if (ready < 0 && errno != EINTR) {
            return systemFailure(lastSystemError("poll").error());
        }
    }
}

}  // namespace

Unexpected<ClientError> clientError(ClientErrorKind kind, std::string detail) {
    return Unexpected(ClientError{kind, std::move(detail)});
}

Unexpected<ClientError> systemFailure(const SystemError& error) {
    return clientError(ClientErrorKind::systemError, error.describe());
}

Unexpected<ClientError> protocolFailure(std::string_view what) {
    return clientError(ClientErrorKind::protocolError, std::string(what));
}

Unexpected<ClientError> frameFailure(std::string_view what, FrameError error) {
    return protocolFailure(std::string(what) + ": " + std::string(frameErrorName(error)));
}

Status<ClientError> sendBefore(int fd, std::string_view bytes, const CallDeadline& deadline,
                               ClientErrorKind closedKind) {
    while (!bytes.empty()) {
        const ssize_t sent = retryOnInterrupt(
            [&] { return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT); });
        if (sent >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(sent));
            continue;
        }
        if (errno == EAGAIN) {
            if (Status<ClientError> ready = awaitReady(fd, POLLOUT, deadline); !ready) {
                return ready;
            }
            continue;
        }
        if (errno == EPIPE || errno == ECONNRESET) {
            return clientError(closedKind);
        }
        return systemFailure(lastSystemError("send").error());
    }
    return {};
}

Status<SystemError> boundReceiveWaits(int fd) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(receiveQuantum);
    const timeval quantum{
        static_cast<time_t>(seconds.count()),
        static_cast<suseconds_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(receiveQuantum - seconds)
                .count())};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quantum, sizeof quantum) != 0) {
        return lastSystemError("setsockopt SO_RCVTIMEO");
    }
    return {};
}

Expected<std::string, ClientError> receiveBefore(int fd, FrameReader& reader,
                                                 const CallDeadline& deadline,
                                                 ClientErrorKind closedKind) {
    std::string chunk;
    for (;;) {
        if (std::optional<std::string> body = reader.next()) {
            return std::move(*body);
        }
        if (reader.failed()) {
            return frameFailure("malformed frame", reader.error());
        }
        // While the deadline is a quantum or more away, the receive itself waits (for at
        // most a quantum, boundReceiveWaits): a reply then costs one call, not a poll and a
        // receive. Closer to the deadline, the poll waits exactly what is left.
        const std::chrono::milliseconds left = deadline.left();
        if (left < receiveQuantum) {
            if (Status<ClientError> readable = awaitReady(fd, POLLIN, deadline); !readable) {
                return Unexpected(std::move(readable).error());
            }
        }
        if (const Status<SystemError> received = receiveSome(fd, chunk, receiveChunk); !received) {
            const int error = received.error().errorNumber;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                continue;  // a quantum passed without a byte
            }
            // A reset means the daemon closed with our bytes unread; it is still a close.
            if (error == ECONNRESET) {
                return clientError(closedKind);
            }
            return systemFailure(received.error());
        }
        if (chunk.empty()) {
            if (!reader.atFrameBoundary()) {
                return protocolFailure("connection closed inside a frame");
            }
            return clientError(closedKind);
        }
        reader.append(chunk);
    }
}

}  // namespace tavelin
