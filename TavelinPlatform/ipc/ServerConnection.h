#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "PeerProcess.h"
#include "SenderPidfd.h"
#include "TavelinShared/PrivilegedHelperProtocol.h"

namespace tavelin {

// How a served connection ended. The daemon logs the protocol violations among them.
enum class ConnectionEnd {
    closedByPeer,      // end of stream at a frame boundary
    bytesBeforeHello,  // the peer wrote before it could have read our HELLO
    foreignSender,     // a chunk written by another process than the admitted one
    protocolError,     // a malformed frame, unknown selector, end of stream mid-frame
    transportError,    // a failed recv/send, e.g. the peer vanished mid-reply
};

// Serves one admitted connection on the calling thread.
//
// Preconditions: `socketFd` (borrowed; the caller closes it) is a connected AF_UNIX stream socket
// with SO_PASSPIDFD already enabled (enableSenderPidfds) before admission began, `peer` is the
// process recorded when it was accepted, and `service` is the object admission made for this
// connection.
//
// serve(): makes sure nothing has arrived yet (any byte now was written before the peer
// could have read the HELLO, so possibly by code that was never admitted), sends HELLO,
// then reads frames. Every received chunk must come from the admitted process. Calls are
// handled one after another in the order they arrive; each REPLY carries the call's id
// and is sent after the service has answered. Returns when the peer closes or breaks the
// rules; the caller then closes the socket.
class ServerConnection {
  public:
    ServerConnection(int socketFd, const PeerProcess& peer, PrivilegedHelperProtocol& service)
        : socket_(socketFd), peer_(peer), service_(service) {}

    [[nodiscard]] ConnectionEnd serve();

    // The size of one recvmsg; a frame larger than this arrives in several chunks.
    static constexpr std::size_t receiveChunkSize = std::size_t{64} * 1024;

  private:
    [[nodiscard]] bool anythingArrived() const;
    // Reads frames and answers calls until the connection ends.
    [[nodiscard]] ConnectionEnd callLoop(const ProcessIdentity& admitted);
    // Answers one CALL body; nothing on success, the reason to end otherwise.
    [[nodiscard]] std::optional<ConnectionEnd> answer(const std::string& body);

    int socket_;
    const PeerProcess& peer_;
    PrivilegedHelperProtocol& service_;
};

}  // namespace tavelin
