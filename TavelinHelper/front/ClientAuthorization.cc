#include "TavelinHelper/front/ClientAuthorization.h"

#include "TavelinHelper/front/ClientVerification.h"
#include "TavelinShared/PrivilegedHelperInfo.h"

namespace tavelin {

namespace {

constexpr std::string_view noCodeLine = "[TavelinHelper] Kein SecCode zum Audit-Token ermittelbar.";
constexpr std::string_view invalidRequirementLine =
    "[TavelinHelper] Ung\u00fcltiges Code-Requirement (Team-ID konfiguriert?).";
constexpr std::string_view notSatisfiedLine =
    "[TavelinHelper] Client-Signatur erf\u00fcllt das Requirement nicht.";

// The line of a refusal's code; empty for an admitted peer.
std::string_view lineOfCode(long code) {
    switch (code) {
        case clientCodeUnavailable:
            return noCodeLine;
        case clientRequirementInvalid:
            return invalidRequirementLine;
        case clientNotSatisfying:
            return notSatisfiedLine;
        default:
            return {};
    }
}

// Writes the line of a refusal's code; true for an admitted peer.
bool admitLogging(long code, LogSink& log) {
    if (code == clientVerified) {
        return true;
    }
    if (const std::string_view line = lineOfCode(code); !line.empty()) {
        log.log(line);
    }
    return false;
}

// Writes the line of a refusal's code as an error about `client`, with its reason.
ClientVerdict logRefusal(ClientVerdict verdict, LogSink& log, LogPeer client) {
    if (const std::string_view line = lineOfCode(verdict.code); !line.empty()) {
        client.refusal = verdict.reason;
        log.log(LogPriority::error, line, client);
    }
    return verdict;
}

}  // namespace

bool isClientAuthorized(PeerInspector* connection, const Requirement& requirement,
                        const TrustAnchor& anchor, LogSink& log) {
    return admitLogging(TVLVerifyXPCClient(connection, requirement, anchor), log);
}

bool isClientAuthorized(PeerInspector* connection, std::string_view requirement,
                        const TrustAnchor& anchor, LogSink& log) {
    return admitLogging(TVLVerifyXPCClient(connection, requirement, anchor), log);
}

ClientVerdict admitClient(PeerInspector* connection, const Requirement& requirement,
                          const TrustAnchor& anchor, LogSink& log, LogPeer client) {
    return logRefusal(verifyClient(connection, requirement, anchor), log, client);
}

ClientVerdict admitClient(PeerInspector* connection, VerifiedExecutables& verified, LogSink& log,
                          LogPeer client) {
    return logRefusal(verifyClient(connection, verified), log, client);
}

Expected<Requirement, IdentityError> parseClientCodeRequirement() {
    return Requirement::parse(PrivilegedHelperInfo::clientCodeRequirement());
}

}  // namespace tavelin
