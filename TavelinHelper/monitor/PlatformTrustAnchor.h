#pragma once

#include <string_view>

namespace tavelin {

// The path of the platform trust anchor, fixed when the daemon is built (the CMake cache
// variable TAVELIN_TRUST_ANCHOR, or the development identity in the build tree). No
// configuration file, environment variable or option changes it. The monitor only opens
// the file; the front reads and parses it.
[[nodiscard]] std::string_view platformTrustAnchorPath();

}  // namespace tavelin
