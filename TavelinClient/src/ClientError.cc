#include "TavelinClient/ClientError.h"

namespace tavelin {
namespace {

std::string headline(ClientErrorKind kind) {
    switch (kind) {
        case ClientErrorKind::daemonNotRunning:
            return "the Tavelin helper is not running";
        case ClientErrorKind::connectionRefused:
            return "the Tavelin helper refused the connection (this program's signature was "
                   "not accepted; its log says why: journalctl -u tavelin-helper.service "
                   "shows the reason in the field TAVELIN_REFUSAL_REASON)";
        case ClientErrorKind::connectionClosed:
            return "the Tavelin helper closed the connection without answering";
        case ClientErrorKind::impostor:
            return "refusing to talk to an impostor: the process behind the helper's name "
                   "does not run as root";
        case ClientErrorKind::protocolError:
            return "the Tavelin helper answered outside the protocol";
        case ClientErrorKind::timedOut:
            return "the Tavelin helper did not answer in time";
        case ClientErrorKind::invalidRequest:
            return "the request cannot be sent to the Tavelin helper";
        case ClientErrorKind::systemError:
            return "cannot talk to the Tavelin helper";
    }
    return "cannot talk to the Tavelin helper";
}

}  // namespace

std::string ClientError::text() const {
    return detail.empty() ? headline(kind) : headline(kind) + " (" + detail + ")";
}

}  // namespace tavelin
