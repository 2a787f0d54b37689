#pragma once

#include <string_view>

#include "TavelinHelper/front/ClientVerification.h"
#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/identity/IdentityError.h"
#include "TavelinPlatform/identity/Requirement.h"
#include "TavelinPlatform/identity/TrustAnchor.h"

namespace tavelin {

// The client code requirement (PrivilegedHelperInfo::clientCodeRequirement()) parsed; the
// daemon parses it once at start-up and refuses to start when it does not parse.
[[nodiscard]] Expected<Requirement, IdentityError> parseClientCodeRequirement();

// Admission: verifies the peer (TVLVerifyXPCClient) against `requirement` (the parsed
// client code requirement) and answers true for code 0 without logging; for codes 1, 2
// and 3 it writes that code's line and answers false:
//   1 "[TavelinHelper] Kein SecCode zum Audit-Token ermittelbar."
//   2 "[TavelinHelper] Ungültiges Code-Requirement (Team-ID konfiguriert?)."
//   3 "[TavelinHelper] Client-Signatur erfüllt das Requirement nicht."
[[nodiscard]] bool isClientAuthorized(PeerInspector* connection, const Requirement& requirement,
                                      const TrustAnchor& anchor, LogSink& log);
// The same with a requirement text parsed on the spot (code 2 when it does not parse).
[[nodiscard]] bool isClientAuthorized(PeerInspector* connection, std::string_view requirement,
                                      const TrustAnchor& anchor, LogSink& log);

// Admission as the daemon runs it: isClientAuthorized's check and line, the line written
// as an error about `client` with the refusal's reason beside it. The verdict, whose reason
// the caller's own refusal line carries too.
[[nodiscard]] ClientVerdict admitClient(PeerInspector* connection, const Requirement& requirement,
                                        const TrustAnchor& anchor, LogSink& log, LogPeer client);
// The same through the executables verified before (verifyClient with `verified`): what
// the daemon's front runs.
[[nodiscard]] ClientVerdict admitClient(PeerInspector* connection, VerifiedExecutables& verified,
                                        LogSink& log, LogPeer client);

}  // namespace tavelin
