#include "HelperListenerDelegate.h"

#include <string>

#include "ClientAuthorization.h"
#include "HelperService.h"

namespace tavelin {

std::unique_ptr<PrivilegedHelperProtocol> HelperListenerDelegate::shouldAcceptNewConnection(
    const PeerProcess& peer) {
    // isClientAuthorized writes the reason line itself; ours follows it.
    if (!isClientAuthorized(&peer, anchor_, log_)) {
        log_.log("[TavelinHelper] Verbindung ABGELEHNT (Signaturpr\u00fcfung fehlgeschlagen, pid=" +
                 std::to_string(peer.pid) + ")");
        return nullptr;
    }
    return std::make_unique<HelperService>(log_, fileSystem_);
}

}  // namespace tavelin
