#include "ServerConnection.h"

#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>

#include "Frame.h"
#include "UnixSocket.h"

namespace tavelin {
namespace {

// Runs the call on the service and collects its one answer. A service that never
// answers still gets an (empty) reply sent, so the client is never left waiting.
[[nodiscard]] std::string runCall(PrivilegedHelperProtocol& service, const CallFrame& call) {
    std::optional<std::string> answer;
    switch (call.selector) {
        case CallSelector::helperVersion:
            service.helperVersion([&answer](const std::string& version) {
                if (!answer) {
                    answer = version;
                }
            });
            break;
        case CallSelector::perform:
            service.perform(call.argument, [&answer](const std::string& resultJSON) {
                if (!answer) {
                    answer = resultJSON;
                }
            });
            break;
    }
    return answer.value_or(std::string());
}

}  // namespace

bool ServerConnection::anythingArrived() const {
    char byte = 0;
    for (;;) {
        const ssize_t peeked = ::recv(socket_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked >= 0) {
            // A byte, or an end of stream: either way there is nothing to greet.
            return true;
        }
        if (errno != EINTR) {
            return errno != EAGAIN && errno != EWOULDBLOCK;
        }
    }
}

std::optional<ConnectionEnd> ServerConnection::answer(const std::string& body) {
    const auto call = decodeCall(body);
    if (!call) {
        return ConnectionEnd::protocolError;
    }
    auto reply = encodeReply(ReplyFrame{call->callId, runCall(service_, *call)});
    if (!reply) {
        // An answer too large for a frame cannot be sent; the client learns of it as a
        // closed connection rather than a cut-off reply.
        return ConnectionEnd::protocolError;
    }
    if (!sendAll(socket_, *reply)) {
        return ConnectionEnd::transportError;
    }
    return std::nullopt;
}

ConnectionEnd ServerConnection::serve() {
    const auto admitted = ProcessIdentity::of(peer_.pidfd.get());
    if (!admitted) {
        return ConnectionEnd::foreignSender;
    }
    if (anythingArrived()) {
        return ConnectionEnd::bytesBeforeHello;
    }
    if (!sendAll(socket_, encodeHello())) {
        return ConnectionEnd::transportError;
    }
    return callLoop(*admitted);
}

ConnectionEnd ServerConnection::callLoop(const ProcessIdentity& admitted) {
    // One buffer for the connection's life, not zero-filled: a call costs no allocation
    // on the receiving side.
    const auto buffer = std::make_unique_for_overwrite<char[]>(receiveChunkSize);
    FrameReader reader;
    for (;;) {
        while (auto body = reader.next()) {
            if (auto end = answer(*body)) {
                return *end;
            }
        }
        if (reader.failed()) {
            return ConnectionEnd::protocolError;
        }
        const auto chunk = receiveWithSender(socket_, buffer.get(), receiveChunkSize);
        if (!chunk) {
            return ConnectionEnd::transportError;
        }
        if (chunk->size == 0) {
            return reader.atFrameBoundary() ? ConnectionEnd::closedByPeer
                                            : ConnectionEnd::protocolError;
        }
        if (!admitted.matches(chunk->senderPidfd.get())) {
            return ConnectionEnd::foreignSender;
        }
        reader.append(std::string_view(buffer.get(), chunk->size));
    }
}

}  // namespace tavelin
