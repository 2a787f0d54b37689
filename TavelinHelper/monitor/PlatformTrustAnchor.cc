#include "TavelinHelper/monitor/PlatformTrustAnchor.h"

#ifndef TAVELIN_PLATFORM_TRUST_ANCHOR
#error "TAVELIN_PLATFORM_TRUST_ANCHOR must name the trust anchor file (set by CMake)"
#endif

namespace tavelin {

std::string_view platformTrustAnchorPath() {
    return TAVELIN_PLATFORM_TRUST_ANCHOR;
}

}  // namespace tavelin
