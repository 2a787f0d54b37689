#pragma once

#include <string>

#include "OpenSslHandles.h"
#include "Outcome.h"

namespace tavelin {

// The certificate that every accepted signing chain must end at. The daemon's anchor is
// one PEM file at a path fixed when the daemon is built; tests make their own.
// Immutable once made, so one instance may be shared by concurrent verifications.
class TrustAnchor {
public:
    // Reads the one certificate of a PEM file; fails when the file is missing or damaged,
    // or holds no or more than one certificate.
    [[nodiscard]] static Outcome<TrustAnchor> loadFromFile(const std::string& path);
    // Precondition: `certificate` is not null.
    [[nodiscard]] static TrustAnchor fromCertificate(X509Ptr certificate);

    [[nodiscard]] X509* certificate() const noexcept { return certificate_.get(); }

private:
    explicit TrustAnchor(X509Ptr certificate) : certificate_(std::move(certificate)) {}

    X509Ptr certificate_;
};

}  // namespace tavelin
