#pragma once

#include <string>

#include "TavelinPlatform/identity/IdentityError.h"
#include "TavelinPlatform/identity/OpenSslHandles.h"

namespace tavelin {

// Writing certificates and private keys as PEM. Keys are written readable by their owner
// only.
[[nodiscard]] Expected<std::string, IdentityError> certificatePem(X509* certificate);
[[nodiscard]] Expected<std::string, IdentityError> privateKeyPem(EVP_PKEY* key);

[[nodiscard]] Status<IdentityError> writeCertificatePem(const std::string& path, X509* certificate);
[[nodiscard]] Status<IdentityError> writePrivateKeyPem(const std::string& path, EVP_PKEY* key);

}  // namespace tavelin
