#include "ClientVerification.h"

#include <sys/stat.h>

#include "CodeVerifier.h"

namespace tavelin {

namespace {

bool sameFile(int first, int second) {
    struct stat a {};
    struct stat b {};
    return ::fstat(first, &a) == 0 && ::fstat(second, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// The checks in their order; a null `requirement` is one that did not parse.
long verify(PeerInspector* connection, const Requirement* requirement, const TrustAnchor& anchor) {
    if (connection == nullptr) {
        return clientCodeUnavailable;
    }
    const Expected<PeerEvidence, SystemError> first = connection->inspect();
    if (!first) {
        return clientCodeUnavailable;
    }
    if (requirement == nullptr) {
        return clientRequirementInvalid;
    }
    // A tracer can rewrite a signed process's code, so a traced peer's signature says
    // nothing about what runs. The look after the hash does not replace this one: a tracer
    // may let go while the hash runs and leave its changes behind.
    if (first->tracerPid != 0) {
        return clientNotSatisfying;
    }
    // A signature vouches for one file; a peer that runs other code beside or instead of
    // it is not the signed program.
    if (first->code != PeerCodeFinding::clean) {
        return clientNotSatisfying;
    }
    if (checkCode(first->executable.get(), anchor, *requirement).result !=
        CodeCheckResult::satisfied) {
        return clientNotSatisfying;
    }
    // Look again after the hash: the peer may have exec'd another file or gained a tracer
    // while it ran. What happens after this point is outside admission's reach.
    const Expected<PeerEvidence, SystemError> again = connection->inspect();
    if (!again || again->tracerPid != 0 || again->code != PeerCodeFinding::clean ||
        !sameFile(first->executable.get(), again->executable.get())) {
        return clientNotSatisfying;
    }
    return clientVerified;
}

}  // namespace

long TVLVerifyXPCClient(PeerInspector* connection, std::string_view requirement,
                        const TrustAnchor& anchor) {
    // The peer is looked at before the text is parsed, so 1 wins over 2.
    if (connection == nullptr) {
        return clientCodeUnavailable;
    }
    const auto parsed = Requirement::parse(requirement);
    return verify(connection, parsed ? &*parsed : nullptr, anchor);
}

long TVLVerifyXPCClient(PeerInspector* connection, const Requirement& requirement,
                        const TrustAnchor& anchor) {
    return verify(connection, &requirement, anchor);
}

}  // namespace tavelin
