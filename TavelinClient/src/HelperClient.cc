#include "TavelinClient/HelperClient.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

#include "TavelinClient/src/CallDeadline.h"
#include "TavelinClient/src/FrameExchange.h"
#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinShared/PrivilegedHelperInfo.h"

namespace tavelin {

static_assert(defaultHelperServiceName == PrivilegedHelperInfo::machServiceName);

namespace {

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

Status<ClientError> receiveHello(int fd, const CallDeadline& deadline) {
    FrameReader reader;
    Expected<std::string, ClientError> body =
        receiveBefore(fd, reader, deadline, ClientErrorKind::connectionRefused);
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

// A connect that waits for room in the listener's backlog waits at most `timeout`; with
// noTimeout (or anything too long to say in microseconds) it waits as long as it takes.
Expected<UniqueFd, SystemError> connectWithin(std::string_view serviceName,
                                              std::chrono::milliseconds timeout) {
    constexpr auto longest =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::hours(24 * 365));
    if (timeout >= longest) {
        return connectToAbstractName(serviceName);
    }
    return connectToAbstractName(serviceName, timeout);
}

std::string timeoutDetail(std::string_view serviceName, std::string_view what,
                          std::chrono::milliseconds timeout) {
    return "service " + std::string(serviceName) + ", " + std::string(what) + " within " +
           std::to_string(timeout.count()) + " ms";
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

Expected<HelperClient, ClientError> HelperClient::connect(std::string_view serviceName,
                                                          std::chrono::milliseconds timeout) {
    const CallDeadline deadline =
        CallDeadline::after(timeout, timeoutDetail(serviceName, "no hello", timeout));
    Expected<UniqueFd, SystemError> connected = connectWithin(serviceName, timeout);
    if (!connected) {
        if (connected.error().errorNumber == ECONNREFUSED) {
            return clientError(ClientErrorKind::daemonNotRunning,
                               "service " + std::string(serviceName));
        }
        if (connected.error().errorNumber == EAGAIN) {
            return clientError(ClientErrorKind::timedOut, deadline.detail);
        }
        return systemFailure(connected.error());
    }
    Socket socket(connected->release());
    if (Status<SystemError> bounded = boundReceiveWaits(socket.get()); !bounded) {
        return systemFailure(bounded.error());
    }
    const Expected<PeerCredentials, ClientError> daemon = trustedDaemon(socket.get(), serviceName);
    if (!daemon) {
        return Unexpected(daemon.error());
    }
    if (Status<ClientError> greeted = receiveHello(socket.get(), deadline); !greeted) {
        return Unexpected(std::move(greeted).error());
    }
    return HelperClient(std::move(socket), daemon->pid);
}

Expected<std::string, ClientError> HelperClient::helperVersion(std::chrono::milliseconds timeout) {
    return call(Call::helperVersion, {}, timeout);
}

Expected<std::string, ClientError> HelperClient::perform(std::string_view requestBytes,
                                                         std::chrono::milliseconds timeout) {
    return call(Call::perform, requestBytes, timeout);
}

Expected<std::string, ClientError> HelperClient::call(Call which, std::string_view argument,
                                                      std::chrono::milliseconds timeout) {
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
        return clientError(ClientErrorKind::invalidRequest,
                           "a request of " + std::to_string(argument.size()) +
                               " bytes, above the limit of " +
                               std::to_string(maxPerformArgumentBytes));
    }
    const CallDeadline deadline = CallDeadline::after(
        timeout, std::string(which == Call::perform ? "perform" : "helperVersion") +
                     ", no answer within " + std::to_string(timeout.count()) + " ms");
    if (Status<ClientError> sent =
            sendBefore(socket_.get(), *frame, deadline, ClientErrorKind::connectionClosed);
        !sent) {
        return fail(Unexpected(std::move(sent).error()));
    }
    FrameReader reader;
    Expected<std::string, ClientError> body =
        receiveBefore(socket_.get(), reader, deadline, ClientErrorKind::connectionClosed);
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
