#include "TavelinClient/HelperClient.h"

#include <cerrno>
#include <optional>
#include <utility>
#include <variant>

#include "Frame.h"
#include "UnixSocket.h"

namespace tavelin {
namespace {

// Receive chunk size: a reply of a few dozen bytes arrives in one recv. Kept small
// because the buffer is sized (and zero-filled) to it before every recv, which for a
// version round trip of a few microseconds is not free; large answers simply take more
// recv calls.
constexpr std::size_t receiveChunk = 4096;

ClientError systemFailure(const SystemError& error) {
    return {ClientErrorKind::systemError, error.context + ": " + error.text()};
}

ClientError protocolFailure(std::string_view what) {
    return {ClientErrorKind::protocolError, std::string(what)};
}

ClientError frameFailure(std::string_view what, FrameError error) {
    return protocolFailure(std::string(what) + ": " + std::string(frameErrorName(error)));
}

// Reads until `reader` holds one complete frame body. `closedKind` is what the daemon
// closing the stream means at this point of the conversation.
ClientResult<std::string> receiveFrame(int fd, FrameReader& reader, ClientErrorKind closedKind) {
    std::string chunk;
    for (;;) {
        if (std::optional<std::string> body = reader.next()) {
            return std::move(*body);
        }
        if (reader.failed()) {
            return frameFailure("malformed frame", reader.error());
        }
        if (const std::optional<SystemError> error = receiveSome(fd, chunk, receiveChunk)) {
            // A reset means the daemon closed with our bytes unread; it is still a close.
            if (error->errorNumber == ECONNRESET) {
                return ClientError{closedKind, {}};
            }
            return systemFailure(*error);
        }
        if (chunk.empty()) {
            if (!reader.atFrameBoundary()) {
                return protocolFailure("connection closed inside a frame");
            }
            return ClientError{closedKind, {}};
        }
        reader.append(chunk);
    }
}

// Before a byte is read: whoever holds the name must be the real daemon.
ClientResult<PeerCredentials> trustedDaemon(int fd, std::string_view serviceName) {
    const std::variant<PeerCredentials, SystemError> peer = peerCredentials(fd);
    if (const auto* error = std::get_if<SystemError>(&peer)) {
        return systemFailure(*error);
    }
    const auto& credentials = std::get<PeerCredentials>(peer);
    if (!isTrustedDaemonUser(credentials.uid)) {
        return ClientError{ClientErrorKind::impostor,
                           "service " + std::string(serviceName) + ", pid " +
                               std::to_string(credentials.pid) + ", uid " +
                               std::to_string(credentials.uid)};
    }
    return credentials;
}

std::optional<ClientError> receiveHello(int fd) {
    FrameReader reader;
    ClientResult<std::string> body = receiveFrame(fd, reader, ClientErrorKind::connectionRefused);
    if (!body) {
        return body.error();
    }
    const std::variant<std::uint8_t, FrameError> version = decodeHello(body.value());
    if (const auto* error = std::get_if<FrameError>(&version)) {
        return frameFailure("expected a hello", *error);
    }
    if (std::get<std::uint8_t>(version) != protocolVersion) {
        return protocolFailure("unsupported protocol version " +
                               std::to_string(std::get<std::uint8_t>(version)));
    }
    if (!reader.atFrameBoundary()) {
        // The daemon sends nothing after its hello until we call.
        return protocolFailure("unsolicited bytes after the hello");
    }
    return std::nullopt;
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

ClientResult<HelperClient> HelperClient::connect(std::string_view serviceName) {
    std::variant<UniqueFd, SystemError> connected = connectToAbstractName(serviceName);
    if (const auto* error = std::get_if<SystemError>(&connected)) {
        if (error->errorNumber == ECONNREFUSED) {
            return ClientError{ClientErrorKind::daemonNotRunning,
                               "service " + std::string(serviceName)};
        }
        return systemFailure(*error);
    }
    UniqueFd socket = std::move(std::get<UniqueFd>(connected));
    const ClientResult<PeerCredentials> daemon = trustedDaemon(socket.get(), serviceName);
    if (!daemon) {
        return daemon.error();
    }
    if (std::optional<ClientError> refused = receiveHello(socket.get())) {
        return std::move(*refused);
    }
    return HelperClient(std::move(socket), daemon.value().pid);
}

ClientResult<std::string> HelperClient::helperVersion() {
    return call(CallSelector::helperVersion, {});
}

ClientResult<std::string> HelperClient::perform(std::string_view requestBytes) {
    return call(CallSelector::perform, requestBytes);
}

ClientResult<std::string> HelperClient::call(CallSelector selector, std::string_view argument) {
    if (!socket_) {
        return ClientError{ClientErrorKind::connectionClosed, "an earlier call failed"};
    }
    const std::uint64_t callId = nextCallId_++;
    const std::optional<std::string> frame =
        encodeCall(CallFrame{callId, selector, std::string(argument)});
    if (!frame) {
        // Refused before sending; the connection stays usable.
        return protocolFailure("request larger than the frame limit");
    }
    if (const std::optional<SystemError> error = sendAll(socket_.get(), *frame)) {
        if (error->errorNumber == EPIPE || error->errorNumber == ECONNRESET) {
            return fail({ClientErrorKind::connectionClosed, {}});
        }
        return fail(systemFailure(*error));
    }
    FrameReader reader;
    ClientResult<std::string> body =
        receiveFrame(socket_.get(), reader, ClientErrorKind::connectionClosed);
    if (!body) {
        return fail(body.error());
    }
    std::variant<ReplyFrame, FrameError> reply = decodeReply(body.value());
    if (const auto* error = std::get_if<FrameError>(&reply)) {
        return fail(frameFailure("expected a reply", *error));
    }
    auto& replyFrame = std::get<ReplyFrame>(reply);
    if (replyFrame.callId != callId || !reader.atFrameBoundary()) {
        return fail(protocolFailure("reply does not answer call " + std::to_string(callId)));
    }
    return std::move(replyFrame.answer);
}

ClientError HelperClient::fail(ClientError error) {
    socket_.reset();
    return error;
}

}  // namespace tavelin
