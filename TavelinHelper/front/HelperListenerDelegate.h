#pragma once

#include <sys/types.h>

#include <memory>

#include "TavelinHelper/front/FrontDelegate.h"
#include "TavelinHelper/front/MonitorClient.h"
#include "TavelinHelper/front/VerifiedExecutables.h"
#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/identity/Requirement.h"
#include "TavelinPlatform/identity/TrustAnchor.h"

namespace tavelin {

// The daemon's admission decision and its record of connections closed for breaking the
// protocol. Holds references to objects that never change, the monitor client and the
// executables verified so far (both thread-safe), so concurrent admissions need no lock of
// its own.
class HelperListenerDelegate final : public FrontDelegate {
  public:
    // All four must outlive the delegate and every connection it admits. `requirement` is
    // the client code requirement, parsed once at start-up.
    HelperListenerDelegate(LogSink& log, MonitorClient& monitor, const TrustAnchor& anchor,
                           const Requirement& requirement)
        : log_(log), monitor_(monitor), verified_(anchor, requirement) {}

    // Verifies the peer's code (admitClient, through the executables verified before: an
    // executable verified before in the same version is not hashed again). Admitted: a new
    // HelperService of its own, nothing logged. Refused (a peer the monitor cannot open
    // included, which verifies as code 1): the verification's reason line, then
    // "[TavelinHelper] Verbindung ABGELEHNT (Signaturprüfung fehlgeschlagen, pid=<pid>)",
    // both as errors about `client`, and nullptr, so the connection is closed unread.
    [[nodiscard]] std::unique_ptr<ConnectionService> shouldAcceptNewConnection(
        MonitoredPeer* peer, LogPeer client) override;

    // One line, an error about `client`, for an admitted connection closed because it
    // broke the protocol:
    //   "[TavelinHelper] Verbindung geschlossen (Daten vor dem HELLO, pid=<pid>)"
    //   "[TavelinHelper] Verbindung geschlossen (Daten eines fremden Prozesses, pid=<pid>)"
    //   "[TavelinHelper] Verbindung geschlossen (Protokollverletzung, pid=<pid>)"
    //   "[TavelinHelper] Verbindung geschlossen (Frame unvollständig nach 10 s, pid=<pid>)"
    //   "[TavelinHelper] Verbindung geschlossen (anderes Programm als bei der Zulassung,
    //   pid=<pid>)"
    // Nothing for a connection the client closed, or one that broke off in transport.
    void connectionEnded(LogPeer client, ConnectionEnd end) override;

  private:
    LogSink& log_;
    MonitorClient& monitor_;
    VerifiedExecutables verified_;  // for `anchor` and `requirement`, which never change
};

}  // namespace tavelin
