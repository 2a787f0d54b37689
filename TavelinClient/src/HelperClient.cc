#include "TavelinClient/HelperClient.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "Frame.h"
#include "UnixSocket.h"

namespace tavelin {
namespace {

// Receive chunk size: a reply of a few dozen bytes arrives in one recv. Kept small
// because the buffer is sized (and zero-filled) to it before every recv, which for a
// version round trip of a few microseconds is not free; large answers simply take more
// recv calls.
constexpr std::size_t receiveChunk = 4096;

Unexpected<ClientError> clientError(ClientErrorKind kind, std::string detail = {}) {
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

using Clock = std::chrono::steady_clock;

// The limit on connecting and greeting, and what a timeout error says about it.
struct Deadline {
    Clock::time_point end;
    std::string detail;
};

// Waits until `fd` has something to read, or the deadline has passed (timedOut).
Status<ClientError> awaitReadable(int fd, const Deadline& deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline.end - Clock::now());
        if (left.count() <= 0) {
            return clientError(ClientErrorKind::timedOut, deadline.detail);
        }
        pollfd watched{fd, POLLIN, 0};
        const int ready = ::poll(&watched, 1,
                                 static_cast<int>(std::min<std::int64_t>(
                                     left.count(), std::numeric_limits<int>::max())));
        if (ready > 0) {
            return {};  // readable, closed or failed: the read that follows tells which
        }
        if (ready < 0 && errno != EINTR) {
            return systemFailure(lastSystemError("poll").error());
        }
    }
}

// Reads until `reader` holds one complete frame body. `closedKind` is what the daemon
// closing the stream means at this point of the conversation. Without a deadline each read
// waits as long as the daemon takes.
Expected<std::string, ClientError> receiveFrame(int fd, FrameReader& reader,
                                                ClientErrorKind closedKind,
                                                const Deadline* deadline = nullptr) {
    std::string chunk;
    for (;;) {
        if (std::optional<std::string> body = reader.next()) {
            return std::move(*body);
        }
        if (reader.failed()) {
            return frameFailure("malformed frame", reader.error());
        }
        if (deadline != nullptr) {
            if (Status<ClientError> readable = awaitReadable(fd, *deadline); !readable) {
                return Unexpected(std::move(readable).error());
            }
        }
        if (const Status<SystemError> received = receiveSome(fd, chunk, receiveChunk); !received) {
            // A reset means the daemon closed with our bytes unread; it is still a close.
            if (received.error().errorNumber == ECONNRESET) {
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

// Before a byte is read: whoever holds the name must be the real daemon.
Expected<PeerCredentials, ClientError> trustedDaemon(int fd, std::string_view serviceName) {
    const Expected<PeerCredentials, SystemError> peer = peerCredentials(fd);
    if (!peer) {
        return systemFailure(peer.error());
    }
    if (!isTrustedDaemonUser(peer->uid)) {
        return clientError(ClientErrorKind::impostor, "service " + std::string(serviceName) +
                                                          ", pid " + std::to_string(peer->pid) +
                                                          ", uid " + std::to_string(peer->uid));
    }
    return *peer;
}

Status<ClientError> receiveHello(int fd, const Deadline* deadline) {
    FrameReader reader;
    Expected<std::string, ClientError> body =
        receiveFrame(fd, reader, ClientErrorKind::connectionRefused, deadline);
    if (!body) {
        return Unexpected(std::move(body).error());
    }
    const Expected<std::uint8_t, FrameError> version = decodeHello(*body);
    if (!version) {
        return frameFailure("expected a hello", version.error());
    }
    if (*version != protocolVersion) {
        return protocolFailure("unsupported protocol version " + std::to_string(*version));
    }
    if (!reader.atFrameBoundary()) {
        // The daemon sends nothing after its hello until we call.
        return protocolFailure("unsolicited bytes after the hello");
    }
    return {};
}

}  // namespace

bool isTrustedDaemonUser(uid_t uid) noexcept {
    if (uid == 0) {
        return true;
    }
#ifdef TAVELIN_DEVELOPER_UID
    return uid == static_cast<uid_t>(TAVELIN_DEVELOPER_UID);
#else
    return false;
#endif
}

Expected<HelperClient, ClientError> HelperClient::connect(
    std::string_view serviceName, std::optional<std::chrono::milliseconds> timeout) {
    std::optional<Deadline> deadline;
    if (timeout) {
        deadline = Deadline{Clock::now() + *timeout, "service " + std::string(serviceName) +
                                                         ", no hello within " +
                                                         std::to_string(timeout->count()) + " ms"};
    }
    Expected<UniqueFd, SystemError> connected =
        timeout ? connectToAbstractName(serviceName, *timeout) : connectToAbstractName(serviceName);
    if (!connected) {
        if (connected.error().errorNumber == ECONNREFUSED) {
            return clientError(ClientErrorKind::daemonNotRunning,
                               "service " + std::string(serviceName));
        }
        if (deadline && connected.error().errorNumber == EAGAIN) {
            return clientError(ClientErrorKind::timedOut, deadline->detail);
        }
        return systemFailure(connected.error());
    }
    Socket socket(connected->release());
    const Expected<PeerCredentials, ClientError> daemon = trustedDaemon(socket.get(), serviceName);
    if (!daemon) {
        return Unexpected(daemon.error());
    }
    if (Status<ClientError> greeted = receiveHello(socket.get(), deadline ? &*deadline : nullptr);
        !greeted) {
        return Unexpected(std::move(greeted).error());
    }
    return HelperClient(std::move(socket), daemon->pid);
}

Expected<std::string, ClientError> HelperClient::helperVersion() {
    return call(Call::helperVersion, {});
}

Expected<std::string, ClientError> HelperClient::perform(std::string_view requestBytes) {
    return call(Call::perform, requestBytes);
}

Expected<std::string, ClientError> HelperClient::call(Call which, std::string_view argument) {
    if (!socket_.open()) {
        return clientError(ClientErrorKind::connectionClosed, "an earlier call failed");
    }
    const std::uint64_t callId = nextCallId_++;
    const CallSelector selector =
        which == Call::perform ? CallSelector::perform : CallSelector::helperVersion;
    const std::optional<std::string> frame =
        encodeCall(CallFrame{callId, selector, std::string(argument)});
    if (!frame) {
        // Refused before sending; the connection stays usable.
        return protocolFailure("request larger than the frame limit");
    }
    if (const Status<SystemError> sent = sendAll(socket_.get(), *frame); !sent) {
        const int error = sent.error().errorNumber;
        if (error == EPIPE || error == ECONNRESET) {
            return fail(clientError(ClientErrorKind::connectionClosed));
        }
        return fail(systemFailure(sent.error()));
    }
    FrameReader reader;
    Expected<std::string, ClientError> body =
        receiveFrame(socket_.get(), reader, ClientErrorKind::connectionClosed);
    if (!body) {
        return fail(Unexpected(std::move(body).error()));
    }
    Expected<ReplyFrame, FrameError> reply = decodeReply(*body);
    if (!reply) {
        return fail(frameFailure("expected a reply", reply.error()));
    }
    if (reply->callId != callId || !reader.atFrameBoundary()) {
        return fail(protocolFailure("reply does not answer call " + std::to_string(callId)));
    }
    return std::move(reply->answer);
}

Unexpected<ClientError> HelperClient::fail(Unexpected<ClientError> error) {
    socket_.close();
    return error;
}

HelperClient::Socket& HelperClient::Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

HelperClient::Socket::~Socket() {
    close();
}

// Not retried on EINTR: on Linux the descriptor is gone either way.
void HelperClient::Socket::close() noexcept {
    if (fd_ >= 0) {
        ::close(std::exchange(fd_, -1));
    }
}

}  // namespace tavelin
