#include "TrustAnchor.h"

#include "PemFiles.h"

namespace tavelin {

Expected<TrustAnchor, IdentityError> TrustAnchor::loadFromFile(const std::string& path) {
    auto certificates = readCertificatesPem(path);
    if (!certificates) {
        return Unexpected(certificates.error());
    }
    if (certificates.value().size() != 1) {
        return identityError(path + ": a trust anchor file must hold exactly one certificate");
    }
    return fromParsed(certificates.value().front().get());
}

TrustAnchor TrustAnchor::fromCertificate(X509Ptr certificate) {
    return fromParsed(certificate.get());
}

TrustAnchor TrustAnchor::fromParsed(X509* certificate) {
    const int length = i2d_X509(certificate, nullptr);
    std::vector<unsigned char> der(length > 0 ? static_cast<std::size_t>(length) : 0);
    unsigned char* out = der.data();
    if (length <= 0 || i2d_X509(certificate, &out) != length) {
        der.clear();  // an anchor that cannot be encoded matches no chain
    }
    return TrustAnchor(std::move(der));
}

X509Ptr TrustAnchor::freshCertificate() const {
    const unsigned char* in = der_.data();
    return X509Ptr(d2i_X509(nullptr, &in, static_cast<long>(der_.size())));
}

}  // namespace tavelin
