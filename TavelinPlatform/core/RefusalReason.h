#pragma once

#include <cstdint>
#include <string_view>

namespace tavelin {

// Why admission refused a peer: the refusal's log lines stay the same whatever the cause,
// and carry this beside them (in the journal, the field TAVELIN_REFUSAL_REASON), so an
// administrator can tell a client that is not root's from one that is not signed.
enum class RefusalReason : std::uint8_t {
    none = 0,              // not a refusal, or a line that names no cause
    peerGone,              // the process ended, or could not be looked at
    requirementInvalid,    // the daemon's own requirement does not parse
    traced,                // a debugger or tracer is attached
    otherUserNamespace,    // it lives in another user namespace than the daemon
    executableNotMapped,   // the code it runs is not its executable's
    foreignCodeMapped,     // a library or other code file another user could have written
    mappingsUnreadable,    // its mappings could not be read whole
    withoutClientGroup,    // not started through the set-group-id client
    executableNotTrusted,  // its executable is not root's, or others may write it
    unsignedExecutable,    // its executable carries no signature
    badSignature,          // the signature is damaged or does not verify
    untrustedSigner,       // the chain does not end at the anchor, or is expired or not for code
    alteredExecutable,     // the file changed after it was signed
    requirementNotMet,     // validly signed, but for another identifier or team
    executableChanged,     // it started another program while it was being checked
};

inline constexpr RefusalReason lastRefusalReason = RefusalReason::executableChanged;

// The reason as the journal field holds it: lower case words joined by "-"
// ("executable-not-trusted"); "" for none.
[[nodiscard]] std::string_view refusalReasonName(RefusalReason reason) noexcept;

}  // namespace tavelin
