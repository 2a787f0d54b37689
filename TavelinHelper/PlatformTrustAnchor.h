#pragma once

#include <string_view>

#include "IdentityError.h"
#include "TrustAnchor.h"

namespace tavelin {

// The path of the platform trust anchor, fixed when the daemon is built (the CMake cache
// variable TAVELIN_TRUST_ANCHOR, or the development identity in the build tree). No
// configuration file, environment variable or option changes it.
[[nodiscard]] std::string_view platformTrustAnchorPath();

// Loads the anchor from platformTrustAnchorPath().
[[nodiscard]] Expected<TrustAnchor, IdentityError> loadPlatformTrustAnchor();

}  // namespace tavelin
