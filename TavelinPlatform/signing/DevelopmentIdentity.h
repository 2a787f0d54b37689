#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "TavelinPlatform/identity/IdentityError.h"
#include "TavelinPlatform/identity/OpenSslHandles.h"

namespace tavelin {

// A certificate together with its private key.
struct CertifiedKey {
    X509Ptr certificate;
    EvpPkeyPtr key;
};

// What a new certificate says. Keys are fresh ECDSA P-256 keys; certificates are signed
// with SHA-256 and carry subject and authority key identifiers.
struct CertificateRequest {
    std::string commonName;
    std::string organization;
    std::string organizationalUnit;  // empty: no OU entry
    // Validity relative to now, in seconds; a negative end makes an expired certificate.
    long notBeforeOffset = -300;
    long notAfterOffset = 10L * 365 * 24 * 3600;
    // A CA certificate (anchor or intermediate) may sign certificates and nothing else.
    bool certificateAuthority = false;
    // Key usage in OpenSSL's configuration syntax. Nothing: what the kind of certificate
    // needs, "critical,keyCertSign,cRLSign" for a CA and "critical,digitalSignature"
    // otherwise. Empty: no key usage extension.
    std::optional<std::string> keyUsage = std::nullopt;
    // Extended key usage in OpenSSL's configuration syntax. Nothing: "codeSigning" for an
    // end-entity certificate, none for a CA (which leaves it unrestricted). Empty: no
    // extended key usage extension, which makes an end-entity certificate unfit for
    // signing code.
    std::optional<std::string> extendedKeyUsage = std::nullopt;
};

// A self-signed CA certificate: the root of a development or test identity.
[[nodiscard]] Expected<CertifiedKey, IdentityError> createAnchor(const CertificateRequest& request);
// The same for a key of the caller's. The same key and subject make an anchor that every
// certificate issued under an earlier one with them chains to.
[[nodiscard]] Expected<CertifiedKey, IdentityError> createAnchor(const CertificateRequest& request,
                                                                 EvpPkeyPtr key);

// A certificate for a fresh key, signed by `issuer` (which must be a CA).
[[nodiscard]] Expected<CertifiedKey, IdentityError> issueCertificate(
    const CertifiedKey& issuer, const CertificateRequest& request);

// The files of a development identity inside one directory.
struct DevelopmentIdentityFiles {
    std::string anchorCertificate;  // anchor.pem
    std::string anchorKey;          // anchor-key.pem (mode 0600)
    std::string leafCertificate;    // leaf.pem
    std::string leafKey;            // leaf-key.pem (mode 0600)
};

[[nodiscard]] DevelopmentIdentityFiles developmentIdentityFiles(const std::string& directory);

// Creates a development anchor and, under it, a code-signing leaf whose subject's OU is
// `organizationalUnit`, and writes the four files into `directory` (which must exist),
// replacing older ones. Private keys are written unencrypted, readable by the owner only:
// they are meant to stay inside a build tree or a test's scratch directory.
[[nodiscard]] Expected<DevelopmentIdentityFiles, IdentityError> writeDevelopmentIdentity(
    const std::string& directory, std::string_view organizationalUnit);

}  // namespace tavelin
