#pragma once

#include <sys/types.h>

#include <memory>

#include "Listener.h"
#include "LogSink.h"
#include "Requirement.h"
#include "TrustAnchor.h"

namespace tavelin {

class ClientFileSystem;
class UpdateInstaller;

// The daemon's admission decision and its record of connections closed for breaking the
// protocol. Holds only references to process-wide objects that never change (the update
// installer keeps its own lock), so concurrent admissions on several workers need no lock.
class HelperListenerDelegate final : public ListenerDelegate {
  public:
    // All five must outlive the delegate and every connection it admits. `requirement` is
    // the client code requirement, parsed once at start-up; `updates` is shared by every
    // connection, so update runs never overlap.
    HelperListenerDelegate(LogSink& log, const ClientFileSystem& fileSystem,
                           const TrustAnchor& anchor, const Requirement& requirement,
                           UpdateInstaller& updates)
        : log_(log),
          fileSystem_(fileSystem),
          anchor_(anchor),
          requirement_(requirement),
          updates_(updates) {}

    // Verifies the peer's code. Admitted: a new HelperService of its own, nothing logged.
    // Refused (a missing peer record included, which verifies as code 1): the
    // verification's reason line, then
    // "[TavelinHelper] Verbindung ABGELEHNT (Signaturprüfung fehlgeschlagen, pid=<pid>)",
    // and nullptr, so the connection is closed unread.
    [[nodiscard]] std::unique_ptr<PrivilegedHelperProtocol> shouldAcceptNewConnection(
        const PeerProcess* peer, pid_t pid) override;

    // One line for an admitted connection closed because it broke the protocol:
    //   "[TavelinHelper] Verbindung geschlossen (Daten vor dem HELLO, pid=<pid>)"
    //   "[TavelinHelper] Verbindung geschlossen (Daten eines fremden Prozesses, pid=<pid>)"
    //   "[TavelinHelper] Verbindung geschlossen (Protokollverletzung, pid=<pid>)"
    // Nothing for a connection the client closed, or one that broke off in transport.
    void connectionEnded(pid_t pid, ConnectionEnd end) override;

  private:
    LogSink& log_;
    const ClientFileSystem& fileSystem_;
    const TrustAnchor& anchor_;
    const Requirement& requirement_;
    UpdateInstaller& updates_;
};

}  // namespace tavelin
