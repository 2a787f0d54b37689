#pragma once

#include <string>

#include "TavelinShared/Expected.h"

namespace tavelin {

// Why a call to the daemon produced no answer. Every failure of the client library ends in
// one of these; nothing is thrown across its interface.
enum class ClientErrorKind {
    daemonNotRunning,   // nobody listens under the service name
    connectionRefused,  // the daemon closed the connection before its hello: not admitted
    connectionClosed,   // the daemon closed an admitted connection before answering
    impostor,           // the process behind the name does not run as a trusted user
    protocolError,      // the daemon sent something the protocol does not allow
    timedOut,           // no hello, or no answer, within the time the caller allowed
    invalidRequest,     // the request cannot be sent as asked (see detail); nothing was sent
    systemError,        // a system call failed for another reason (see detail)
};

struct ClientError {
    ClientErrorKind kind = ClientErrorKind::systemError;
    // Specifics for the reader: the service name, the peer's uid, the failed call and errno
    // text, or what was wrong with a frame. May be empty.
    std::string detail;

    // One line for a person, e.g. "the Tavelin helper is not running (service
    // de.morvane.Tavelin.helper)". English, like the tool's other diagnostics.
    [[nodiscard]] std::string text() const;
};

}  // namespace tavelin
