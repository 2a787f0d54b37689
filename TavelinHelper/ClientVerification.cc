#include "ClientVerification.h"

#include <optional>

#include "CodeVerifier.h"
#include "Requirement.h"

namespace tavelin {

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
    if (checkCode(executable->get(), anchor, *parsed).result != CodeCheckResult::satisfied) {
        return clientNotSatisfying;
    }
    // Look again after the hash: the peer may have exec'd another file or gained a tracer
    // while it ran. What happens after this point is outside admission's reach.
    if (!isRunningExecutable(*connection, executable->get()) || isPeerTracedOrGone(*connection)) {
        return clientNotSatisfying;
    }
    return clientVerified;
}

}  // namespace tavelin
