#include "ClientAuthorization.h"

#include "ClientVerification.h"
#include "TavelinShared/PrivilegedHelperInfo.h"

namespace tavelin {

namespace {

constexpr std::string_view noCodeLine = "[TavelinHelper] Kein SecCode zum Audit-Token ermittelbar.";
constexpr std::string_view invalidRequirementLine =
    "[TavelinHelper] Ung\u00fcltiges Code-Requirement (Team-ID konfiguriert?).";
constexpr std::string_view notSatisfiedLine =
    "[TavelinHelper] Client-Signatur erf\u00fcllt das Requirement nicht.";

// Writes the line of a refusal's code; true for an admitted peer.
bool admitLogging(long code, LogSink& log) {
    switch (code) {
        case clientVerified:
            return true;
        case clientCodeUnavailable:
            log.log(noCodeLine);
            return false;
        case clientRequirementInvalid:
            log.log(invalidRequirementLine);
            return false;
        case clientNotSatisfying:
            log.log(notSatisfiedLine);
            return false;
        default:
            return false;
    }
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

Expected<Requirement, IdentityError> parseClientCodeRequirement() {
    return Requirement::parse(PrivilegedHelperInfo::clientCodeRequirement());
}

}  // namespace tavelin
