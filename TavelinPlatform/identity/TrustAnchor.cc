#include "TrustAnchor.h"

#include "PemFiles.h"

namespace tavelin {

Outcome<TrustAnchor> TrustAnchor::loadFromFile(const std::string& path) {
    auto certificates = readCertificatesPem(path);
    if (!certificates) {
        return certificates.error();
    }
    if (certificates.value().size() != 1) {
        return identityError(path + ": a trust anchor file must hold exactly one certificate");
    }
    return TrustAnchor(std::move(certificates.value().front()));
}

TrustAnchor TrustAnchor::fromCertificate(X509Ptr certificate) {
    return TrustAnchor(std::move(certificate));
}

}  // namespace tavelin
