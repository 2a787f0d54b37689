#pragma once

#include <ctime>
#include <limits>
#include <string>

#include "TavelinPlatform/identity/IdentityError.h"
#include "TavelinPlatform/identity/Requirement.h"
#include "TavelinPlatform/identity/SignatureBlock.h"
#include "TavelinPlatform/identity/SignedRecord.h"
#include "TavelinPlatform/identity/TrustAnchor.h"

namespace tavelin {

// When every certificate of a chain is valid, in seconds since the epoch: from the latest
// start of their validity periods on, until before the earliest end (as OpenSSL judges a
// certificate's dates). Empty when a date could not be read.
struct ValidityPeriod {
    std::time_t notBefore = std::numeric_limits<std::time_t>::min();
    std::time_t notAfter = std::numeric_limits<std::time_t>::max();

    [[nodiscard]] bool contains(std::time_t moment) const noexcept {
        return notBefore <= moment && moment < notAfter;
    }
};

// A signature block that has passed every check that does not read the content: the
// block parses, its one signer's signature over the signed record is good, the signer's
// chain ends at the anchor and is valid now, and the leaf may sign code.
struct SignedCode {
    SignatureLayout layout;
    SignedRecord record;
    CodeFacts facts;          // chainEndsAtAnchor is always true here
    std::string leafSubject;  // one line, RFC 2253 order, for people
    ValidityPeriod validity;  // of the chain from the leaf to the anchor, both included
};

// The cheap phase: reads the trailer and the block only. Fails for an unsigned file, a
// damaged or truncated block, a bad signature, a chain that does not end at `anchor`, an
// expired or not-yet-valid certificate, or a leaf without the code-signing extended key
// usage (the chain is checked for code signing here, not for OpenSSL's S/MIME default).
[[nodiscard]] Expected<SignedCode, IdentityError> readSignedCode(int fd, const TrustAnchor& anchor);

// The expensive phase: the file's content before the block must be exactly as long as
// signed and hash to the signed digest.
[[nodiscard]] Status<IdentityError> verifySignedContent(int fd, const SignedCode& code);

enum class CodeCheckResult {
    satisfied,     // valid signature and the requirement holds
    invalid,       // unsigned, damaged, untrusted or altered
    notSatisfied,  // validly signed, but the requirement does not hold
};

// Which check an invalid or unsatisfying file failed, for a refusal's reason.
enum class CodeFault {
    none,               // satisfied
    unsignedFile,       // no signature trailer
    damaged,            // a block that does not parse, a signature that does not verify
    untrustedSigner,    // a chain that does not end at the anchor, is not valid now or not for code
    altered,            // the content differs from what was signed
    requirementNotMet,  // validly signed, but the requirement does not hold
};

struct CodeCheck {
    CodeCheckResult result = CodeCheckResult::invalid;
    std::string detail;  // why not, for the command-line tool; empty when satisfied
    CodeFault fault = CodeFault::damaged;
    // Satisfied: when the signer's chain is valid. The same file checked at another time
    // than this period is refused (an expired or not yet valid certificate).
    ValidityPeriod validity{};
};

// The whole check in the order that keeps refusals cheap: the block phase, then the
// requirement's conditions, and only for code that passes both, the content hash.
[[nodiscard]] CodeCheck checkCode(int fd, const TrustAnchor& anchor,
                                  const Requirement& requirement);

}  // namespace tavelin
