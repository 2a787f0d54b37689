#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "TavelinPlatform/identity/IdentityError.h"
#include "TavelinPlatform/identity/OpenSslHandles.h"
#include "TavelinPlatform/identity/SignatureBlock.h"

namespace tavelin {

// The key and certificates a signature is made with: the leaf certificate of the key and
// the intermediates between the leaf and the anchor (the anchor itself is not needed).
struct SigningIdentity {
    X509Ptr certificate;
    EvpPkeyPtr key;
    std::vector<X509Ptr> chain;
};

// Reads a key, its certificate and optionally a PEM file of intermediates. Fails with a
// clear message when a file is missing or damaged or the key does not belong to the
// certificate.
[[nodiscard]] Expected<SigningIdentity, IdentityError> loadSigningIdentity(
    const std::string& keyPath, const std::string& certificatePath,
    const std::string& chainPath = {});

// Builds the signature block (DER CMS SignedData, signed with SHA-256, carrying the leaf
// and the chain) for the first `contentLength` bytes of the open file.
[[nodiscard]] Expected<std::vector<std::uint8_t>, IdentityError> makeSignatureBlock(
    int fd, std::uint64_t contentLength, const SigningIdentity& identity,
    std::string_view identifier);

// Signs the open file (read-write) in place under `identifier`. A file that already ends
// with a signature block is re-signed: the old block is replaced and the bytes before it
// are signed again, unchanged. A file whose trailer is damaged is refused rather than
// guessed at. Returns where content and block now lie.
[[nodiscard]] Expected<SignatureLayout, IdentityError> signFile(int fd,
                                                                const SigningIdentity& identity,
                                                                std::string_view identifier);

// signFile on a path (never following a final symbolic link).
[[nodiscard]] Expected<SignatureLayout, IdentityError> signFileAtPath(
    const std::string& path, const SigningIdentity& identity, std::string_view identifier);

}  // namespace tavelin
