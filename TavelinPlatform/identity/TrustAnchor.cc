#include "TavelinPlatform/identity/TrustAnchor.h"

#include "TavelinPlatform/identity/PemFiles.h"

namespace tavelin {

namespace {

Expected<TrustAnchor, IdentityError> theOneCertificate(
    Expected<std::vector<X509Ptr>, IdentityError> certificates, std::string_view origin) {
    if (!certificates) {
        return Unexpected(certificates.error());
    }
    if (certificates->size() != 1) {
        return identityError(std::string(origin) +
                             ": a trust anchor file must hold exactly one certificate");
    }
    return TrustAnchor::fromCertificate(std::move(certificates->front()));
}

}  // namespace

Expected<TrustAnchor, IdentityError> TrustAnchor::loadFromFile(const std::string& path) {
    return theOneCertificate(readCertificatesPem(path), path);
}

Expected<TrustAnchor, IdentityError> TrustAnchor::fromPemText(std::string_view text,
                                                              std::string_view origin) {
    return theOneCertificate(parseCertificatesPem(text, origin), origin);
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
