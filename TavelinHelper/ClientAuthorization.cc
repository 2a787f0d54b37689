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

}  // namespace

bool isClientAuthorized(const PeerProcess* connection, std::string_view requirement,
                        const TrustAnchor& anchor, LogSink& log) {
    switch (TVLVerifyXPCClient(connection, requirement, anchor)) {
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

bool isClientAuthorized(const PeerProcess* connection, const TrustAnchor& anchor, LogSink& log) {
    return isClientAuthorized(connection, PrivilegedHelperInfo::clientCodeRequirement(), anchor,
                              log);
}

}  // namespace tavelin
