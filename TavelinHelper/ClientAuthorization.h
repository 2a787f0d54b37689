#pragma once

#include <string_view>

#include "LogSink.h"
#include "PeerProcess.h"
#include "TrustAnchor.h"

namespace tavelin {

// Admission: verifies the peer (TVLVerifyXPCClient) against
// PrivilegedHelperInfo::clientCodeRequirement() and answers true for code 0 without
// logging; for codes 1, 2 and 3 it writes that code's line and answers false:
//   1 "[TavelinHelper] Kein SecCode zum Audit-Token ermittelbar."
//   2 "[TavelinHelper] Ungültiges Code-Requirement (Team-ID konfiguriert?)."
//   3 "[TavelinHelper] Client-Signatur erfüllt das Requirement nicht."
[[nodiscard]] bool isClientAuthorized(const PeerProcess* connection, const TrustAnchor& anchor,
                                      LogSink& log);
// The same with another requirement text (for tests).
[[nodiscard]] bool isClientAuthorized(const PeerProcess* connection, std::string_view requirement,
                                      const TrustAnchor& anchor, LogSink& log);

}  // namespace tavelin
