#pragma once

#include <string>
#include <vector>

#include "TavelinPlatform/identity/IdentityError.h"
#include "TavelinPlatform/identity/OpenSslHandles.h"

namespace tavelin {

// Reading PEM files of certificates and private keys. Files are read without following a
// final symbolic link and are limited in size (maximumPemFileSize).
inline constexpr std::size_t maximumPemFileSize = std::size_t{1024} * 1024;

// Every certificate of the file, in order; fails when there is none or one is damaged.
[[nodiscard]] Expected<std::vector<X509Ptr>, IdentityError> readCertificatesPem(
    const std::string& path);
// The same for PEM text already read; `origin` names it in messages.
[[nodiscard]] Expected<std::vector<X509Ptr>, IdentityError> parseCertificatesPem(
    std::string_view text, std::string_view origin);
// The one private key of the file (unencrypted PEM).
[[nodiscard]] Expected<EvpPkeyPtr, IdentityError> readPrivateKeyPem(const std::string& path);

}  // namespace tavelin
