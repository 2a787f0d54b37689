#pragma once

#include <memory>

#include "Listener.h"
#include "LogSink.h"
#include "TrustAnchor.h"

namespace tavelin {

class ClientFileSystem;

// The daemon's admission decision. Holds only references to process-wide objects that
// never change, so concurrent admissions on several workers need no lock.
class HelperListenerDelegate final : public ListenerDelegate {
  public:
    // All three must outlive the delegate and every connection it admits.
    HelperListenerDelegate(LogSink& log, const ClientFileSystem& fileSystem,
                           const TrustAnchor& anchor)
        : log_(log), fileSystem_(fileSystem), anchor_(anchor) {}

    // Verifies the peer's code. Admitted: a new HelperService of its own, nothing logged.
    // Refused: the verification's reason line, then
    // "[TavelinHelper] Verbindung ABGELEHNT (Signaturprüfung fehlgeschlagen, pid=<pid>)",
    // and nullptr, so the connection is closed unread.
    [[nodiscard]] std::unique_ptr<PrivilegedHelperProtocol> shouldAcceptNewConnection(
        const PeerProcess& peer) override;

  private:
    LogSink& log_;
    const ClientFileSystem& fileSystem_;
    const TrustAnchor& anchor_;
};

}  // namespace tavelin
