#pragma once

#include <string>

#include "TavelinPlatform/core/SystemError.h"
#include "TavelinShared/Expected.h"

namespace tavelin {

// Why an identity operation (reading, verifying or making a signature) failed, in words
// fit for a command-line user or a test log. The daemon never passes these texts to a
// client.
struct IdentityError {
    std::string message;
    // The errno behind the failure when a system call failed (a file that cannot be read,
    // say); 0 when the failure is about content (a damaged block, a bad signature).
    int errorNumber = 0;
};

[[nodiscard]] inline Unexpected<IdentityError> identityError(std::string message) {
    return Unexpected(IdentityError{std::move(message), 0});
}

// A failed system call as an identity error: "<context>: <system text>", errno kept.
[[nodiscard]] inline Unexpected<IdentityError> identityError(const SystemError& cause) {
    return Unexpected(IdentityError{cause.describe(), cause.errorNumber});
}

[[nodiscard]] inline Unexpected<IdentityError> identityError(const Unexpected<SystemError>& cause) {
    return identityError(cause.error());
}

// The same error with `prefix` put before its message (a path, say), errno kept.
[[nodiscard]] inline Unexpected<IdentityError> identityError(std::string prefix,
                                                             const IdentityError& cause) {
    return Unexpected(IdentityError{std::move(prefix) + cause.message, cause.errorNumber});
}

}  // namespace tavelin
