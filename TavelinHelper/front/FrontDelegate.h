#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "TavelinHelper/front/MonitoredPeer.h"
#include "TavelinPlatform/core/LogSink.h"
#include "TavelinShared/PrivilegedHelperProtocol.h"

namespace tavelin {

// How an admitted connection ended.
enum class ConnectionEnd {
    closedByPeer,      // end of stream at a frame boundary, every call answered
    bytesBeforeHello,  // the peer wrote before it could have read our HELLO
    foreignSender,     // bytes written by another process than the admitted one
    protocolError,     // a malformed or refused frame, or end of stream inside a frame
    frameTimeout,      // a frame begun was not complete within partialFrameDeadline
    transportError,    // a failed receive or send, e.g. the peer vanished mid-reply
    programChanged,    // the monitor found the peer running another program than at admission
};

// The service of one admitted connection: the protocol's two calls, and whether the
// connection must end because the monitor refused its peer.
class ConnectionService : public PrivilegedHelperProtocol {
  public:
    // True once the monitor answered a call with "the peer runs another program than it was
    // admitted with"; that call's reply is then not sent and the connection ends. Read on
    // the loop thread, after that answer's reply was given.
    [[nodiscard]] virtual bool peerChanged() const noexcept { return false; }

    // perform, given the request's bytes to keep: a service may free them as soon as it has
    // read them, rather than its caller once the call returns.
    // NOLINTNEXTLINE(performance-unnecessary-value-param): by value, for overrides to own
    virtual void performTaking(std::string operationJSON, const DataReply& reply) {
        perform(operationJSON, reply);
    }
};

// Decides, for each accepted connection, whether its peer may talk to us, and hears how
// each admitted connection ended.
class FrontDelegate {
  public:
    virtual ~FrontDelegate() = default;

    // On a work thread, for every accepted connection before a byte of it is read;
    // several calls may run at once. `peer` looks at the peer through the monitor (null
    // when the front could not even ask); `client` is the peer's pid and uid from
    // SO_PEERCRED, for log lines. Returns the service that answers this connection's calls, or
    // nullptr to refuse it (the connection is then closed unread; logging is the delegate's).
    [[nodiscard]] virtual std::unique_ptr<ConnectionService> shouldAcceptNewConnection(
        MonitoredPeer* peer, LogPeer client) = 0;

    // On the loop thread, once an admitted connection has ended.
    virtual void connectionEnded(LogPeer client, ConnectionEnd end) = 0;
};

}  // namespace tavelin
