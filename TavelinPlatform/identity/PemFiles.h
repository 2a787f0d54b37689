#pragma once

#include <string>
#include <vector>

#include "OpenSslHandles.h"
#include "Outcome.h"

namespace tavelin {

// PEM files of certificates and private keys. Files are read without following a final
// symbolic link and are limited in size; keys are written readable by their owner only.

// Every certificate of the file, in order; fails when there is none or one is damaged.
[[nodiscard]] Outcome<std::vector<X509Ptr>> readCertificatesPem(const std::string& path);
// The one private key of the file (unencrypted PEM).
[[nodiscard]] Outcome<EvpPkeyPtr> readPrivateKeyPem(const std::string& path);

[[nodiscard]] Outcome<std::string> certificatePem(X509* certificate);
[[nodiscard]] Outcome<std::string> privateKeyPem(EVP_PKEY* key);

[[nodiscard]] Outcome<Done> writeCertificatePem(const std::string& path, X509* certificate);
[[nodiscard]] Outcome<Done> writePrivateKeyPem(const std::string& path, EVP_PKEY* key);

}  // namespace tavelin
