#include "ClientVerification.h"

#include <optional>
#include <string>

#include "CodeVerifier.h"
#include "Requirement.h"
#include "TavelinShared/PrivilegedHelperInfo.h"

#ifndef TAVELIN_PLATFORM_TRUST_ANCHOR
#error "TAVELIN_PLATFORM_TRUST_ANCHOR must name the trust anchor file (set by CMake)"
#endif

namespace tavelin {

namespace {

constexpr std::string_view noCodeLine = "[TavelinHelper] Kein SecCode zum Audit-Token ermittelbar.";
constexpr std::string_view invalidRequirementLine =
    "[TavelinHelper] Ung\u00fcltiges Code-Requirement (Team-ID konfiguriert?).";
constexpr std::string_view notSatisfiedLine =
    "[TavelinHelper] Client-Signatur erf\u00fcllt das Requirement nicht.";

}  // namespace

long TVLVerifyXPCClient(const PeerProcess* connection, std::string_view requirement,
                        const TrustAnchor& anchor) {
    if (connection == nullptr) {
        return clientCodeUnavailable;
    }
    const std::optional<UniqueFd> executable = openPeerExecutable(*connection);
    if (!executable) {
        return clientCodeUnavailable;
    }
    const auto parsed = Requirement::parse(requirement);
    if (!parsed) {
        return clientRequirementInvalid;
    }
    // A tracer can rewrite a signed process's code, so a traced peer's signature says
    // nothing about what runs.
    if (isPeerTracedOrGone(*connection)) {
        return clientNotSatisfying;
    }
    if (checkCode(executable->get(), anchor, parsed.value()).result != CodeCheckResult::satisfied) {
        return clientNotSatisfying;
    }
    // Look again after the hash: the peer may have exec'd another file or gained a tracer
    // while it ran. What happens after this point is outside admission's reach.
    if (!isRunningExecutable(*connection, executable->get()) || isPeerTracedOrGone(*connection)) {
        return clientNotSatisfying;
    }
    return clientVerified;
}

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
    return isClientAuthorized(connection, PrivilegedHelperInfo::clientCodeRequirement(), anchor, log);
}

std::string_view platformTrustAnchorPath() { return TAVELIN_PLATFORM_TRUST_ANCHOR; }

Outcome<TrustAnchor> loadPlatformTrustAnchor() {
    return TrustAnchor::loadFromFile(std::string(platformTrustAnchorPath()));
}

}  // namespace tavelin
