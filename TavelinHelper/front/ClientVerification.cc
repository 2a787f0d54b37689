#include "TavelinHelper/front/ClientVerification.h"

#include <sys/stat.h>

#include "TavelinPlatform/identity/CodeVerifier.h"

namespace tavelin {

namespace {

bool sameFile(int first, int second) {
    struct stat a {};
    struct stat b {};
    return ::fstat(first, &a) == 0 && ::fstat(second, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

RefusalReason reasonOf(PeerCodeFinding finding) {
    switch (finding) {
        case PeerCodeFinding::clean:
            return RefusalReason::none;
        case PeerCodeFinding::otherUserNamespace:
            return RefusalReason::otherUserNamespace;
        case PeerCodeFinding::executableNotMapped:
            return RefusalReason::executableNotMapped;
        case PeerCodeFinding::foreignCodeMapped:
            return RefusalReason::foreignCodeMapped;
        case PeerCodeFinding::mappingsUnreadable:
            return RefusalReason::mappingsUnreadable;
        case PeerCodeFinding::withoutClientGroup:
            return RefusalReason::withoutClientGroup;
        case PeerCodeFinding::executableNotTrusted:
            return RefusalReason::executableNotTrusted;
    }
    return RefusalReason::mappingsUnreadable;
}

RefusalReason reasonOf(CodeFault fault) {
    switch (fault) {
        case CodeFault::none:
            return RefusalReason::none;
        case CodeFault::unsignedFile:
            return RefusalReason::unsignedExecutable;
        case CodeFault::damaged:
            return RefusalReason::badSignature;
        case CodeFault::untrustedSigner:
            return RefusalReason::untrustedSigner;
        case CodeFault::altered:
            return RefusalReason::alteredExecutable;
        case CodeFault::requirementNotMet:
            return RefusalReason::requirementNotMet;
    }
    return RefusalReason::badSignature;
}

ClientVerdict refused(long code, RefusalReason reason) {
    return ClientVerdict{code, reason};
}

// Why a look at the peer refuses it, or none.
RefusalReason reasonOf(const PeerEvidence& look) {
    // A tracer can rewrite a signed process's code, so a traced peer's signature says
    // nothing about what runs. The look after the hash does not replace this one: a tracer
    // may let go while the hash runs and leave its changes behind.
    if (look.tracerPid != 0) {
        return RefusalReason::traced;
    }
    // A signature vouches for one file; a peer that runs other code beside or instead of
    // it is not the signed program.
    return reasonOf(look.code);
}

// The checks in their order; `requirementParsed` false: the requirement did not parse.
// `checkFile` checks the executable's file against the anchor and the requirement: afresh
// (checkCode) or through the verified executables. Either way the looks at the process
// before and after it are taken.
template <typename CheckFile>
ClientVerdict verify(PeerInspector* connection, bool requirementParsed,
                     const CheckFile& checkFile) {
    if (connection == nullptr) {
        return refused(clientCodeUnavailable, RefusalReason::peerGone);
    }
    const Expected<PeerEvidence, SystemError> first = connection->inspect();
    if (!first) {
        return refused(clientCodeUnavailable, RefusalReason::peerGone);
    }
    if (!requirementParsed) {
        return refused(clientRequirementInvalid, RefusalReason::requirementInvalid);
    }
    if (const RefusalReason reason = reasonOf(*first); reason != RefusalReason::none) {
        return refused(clientNotSatisfying, reason);
    }
    const CodeCheck check = checkFile(first->executable.get());
    if (check.result != CodeCheckResult::satisfied) {
        return refused(clientNotSatisfying, reasonOf(check.fault));
    }
    // Look again after the hash: the peer may have exec'd another file or gained a tracer
    // while it ran. A file verified before costs no hash, but this look is taken all the
    // same. What happens after this point is outside admission's reach.
    const Expected<PeerEvidence, SystemError> again = connection->inspect();
    if (!again) {
        return refused(clientNotSatisfying, RefusalReason::peerGone);
    }
    // Another executable first: a look in the middle of an exec sees the new file before
    // its code is mapped, which would read as code that is not the executable's.
    if (!sameFile(first->executable.get(), again->executable.get())) {
        return refused(clientNotSatisfying, RefusalReason::executableChanged);
    }
    if (const RefusalReason reason = reasonOf(*again); reason != RefusalReason::none) {
        return refused(clientNotSatisfying, reason);
    }
    return ClientVerdict{};
}

ClientVerdict verify(PeerInspector* connection, const Requirement* requirement,
                     const TrustAnchor& anchor) {
    return verify(connection, requirement != nullptr,
                  [&](int fd) { return checkCode(fd, anchor, *requirement); });
}

}  // namespace

ClientVerdict verifyClient(PeerInspector* connection, std::string_view requirement,
                           const TrustAnchor& anchor) {
    // The peer is looked at before the text is parsed, so 1 wins over 2.
    if (connection == nullptr) {
        return refused(clientCodeUnavailable, RefusalReason::peerGone);
    }
    const auto parsed = Requirement::parse(requirement);
    return verify(connection, parsed ? &*parsed : nullptr, anchor);
}

ClientVerdict verifyClient(PeerInspector* connection, const Requirement& requirement,
                           const TrustAnchor& anchor) {
    return verify(connection, &requirement, anchor);
}

ClientVerdict verifyClient(PeerInspector* connection, VerifiedExecutables& verified) {
    return verify(connection, true, [&](int fd) { return verified.check(fd); });
}

long TVLVerifyXPCClient(PeerInspector* connection, std::string_view requirement,
                        const TrustAnchor& anchor) {
    return verifyClient(connection, requirement, anchor).code;
}

long TVLVerifyXPCClient(PeerInspector* connection, const Requirement& requirement,
                        const TrustAnchor& anchor) {
    return verifyClient(connection, requirement, anchor).code;
}

}  // namespace tavelin
