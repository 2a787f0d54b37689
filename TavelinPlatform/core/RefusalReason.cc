#include "TavelinPlatform/core/RefusalReason.h"

namespace tavelin {

std::string_view refusalReasonName(RefusalReason reason) noexcept {
    switch (reason) {
        case RefusalReason::none:
            return "";
        case RefusalReason::peerGone:
            return "peer-gone";
        case RefusalReason::requirementInvalid:
            return "requirement-invalid";
        case RefusalReason::traced:
            return "traced";
        case RefusalReason::otherUserNamespace:
            return "other-user-namespace";
        case RefusalReason::executableNotMapped:
            return "executable-not-mapped";
        case RefusalReason::foreignCodeMapped:
            return "foreign-code-mapped";
        case RefusalReason::mappingsUnreadable:
            return "mappings-unreadable";
        case RefusalReason::withoutClientGroup:
            return "without-client-group";
        case RefusalReason::executableNotTrusted:
            return "executable-not-trusted";
        case RefusalReason::unsignedExecutable:
            return "unsigned";
        case RefusalReason::badSignature:
            return "bad-signature";
        case RefusalReason::untrustedSigner:
            return "untrusted-signer";
        case RefusalReason::alteredExecutable:
            return "altered";
        case RefusalReason::requirementNotMet:
            return "requirement-not-met";
        case RefusalReason::executableChanged:
            return "executable-changed";
    }
    return "";
}

}  // namespace tavelin
