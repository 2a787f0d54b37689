#pragma once

#include <string>
#include <vector>

#include "TavelinPlatform/identity/IdentityError.h"
#include "TavelinPlatform/identity/OpenSslHandles.h"

namespace tavelin {

// The certificate that every accepted signing chain must end at. The daemon's anchor is
// one PEM file at a path fixed when the daemon is built; tests make their own.
// One instance is shared by concurrent verifications. OpenSSL fills caches inside a
// certificate object while a chain is verified against it, so each verification takes
// its own copy (freshCertificate) instead of sharing one X509.
class TrustAnchor {
  public:
    // Reads the one certificate of a PEM file; fails when the file is missing or damaged,
    // or holds no or more than one certificate.
    [[nodiscard]] static Expected<TrustAnchor, IdentityError> loadFromFile(const std::string& path);
    // The same for the PEM text of such a file, read already; `origin` names it.
    [[nodiscard]] static Expected<TrustAnchor, IdentityError> fromPemText(std::string_view text,
                                                                          std::string_view origin);
    // Precondition: `certificate` is not null.
    [[nodiscard]] static TrustAnchor fromCertificate(X509Ptr certificate);

    // A new certificate object of the anchor, owned by the caller; null only when out of
    // memory.
    [[nodiscard]] X509Ptr freshCertificate() const;

  private:
    explicit TrustAnchor(std::vector<unsigned char> der) : der_(std::move(der)) {}
    [[nodiscard]] static TrustAnchor fromParsed(X509* certificate);

    std::vector<unsigned char> der_;  // the anchor's DER encoding, never changed
};

}  // namespace tavelin
