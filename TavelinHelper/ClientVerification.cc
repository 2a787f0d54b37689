#include "ClientVerification.h"

#include <optional>

#include "CodeVerifier.h"

namespace tavelin {

namespace {

// The checks in their order; a null `requirement` is one that did not parse.
long verify(const PeerProcess* connection, const Requirement* requirement,
            const TrustAnchor& anchor) {
    if (connection == nullptr) {
        return clientCodeUnavailable;
    }
    const std::optional<UniqueFd> executable = openPeerExecutable(*connection);
    if (!executable) {
        return clientCodeUnavailable;
    }
    if (requirement == nullptr) {
        return clientRequirementInvalid;
    }
    // A tracer can rewrite a signed process's code, so a traced peer's signature says
    // nothing about what runs.
    if (isPeerTracedOrGone(*connection)) {
        return clientNotSatisfying;
    }
    if (checkCode(executable->get(), anchor, *requirement).result != CodeCheckResult::satisfied) {
        return clientNotSatisfying;
    }
    // Look again after the hash: the peer may have exec'd another file or gained a tracer
    // while it ran. What happens after this point is outside admission's reach.
    if (!isRunningExecutable(*connection, executable->get()) || isPeerTracedOrGone(*connection)) {
        return clientNotSatisfying;
    }
    return clientVerified;
}

}  // namespace

long TVLVerifyXPCClient(const PeerProcess* connection, std::string_view requirement,
                        const TrustAnchor& anchor) {
    // The peer is looked up before the text is parsed, so 1 wins over 2.
    if (connection == nullptr) {
        return clientCodeUnavailable;
    }
    const auto parsed = Requirement::parse(requirement);
    return verify(connection, parsed ? &*parsed : nullptr, anchor);
}

long TVLVerifyXPCClient(const PeerProcess* connection, const Requirement& requirement,
                        const TrustAnchor& anchor) {
    return verify(connection, &requirement, anchor);
}

}  // namespace tavelin
