#include "TavelinPlatform/signing/PemWriting.h"

#include <openssl/pem.h>

#include "TavelinPlatform/signing/FileWriting.h"

namespace tavelin {

namespace {

Expected<std::string, IdentityError> drain(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    if (length <= 0 || data == nullptr) {
        return identityError("PEM encoding: " + takeOpenSslError());
    }
    return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

Expected<std::string, IdentityError> certificatePem(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) {
        return identityError("PEM encoding: " + takeOpenSslError());
    }
    return drain(bio.get());
}

Expected<std::string, IdentityError> privateKeyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return identityError("PEM encoding: " + takeOpenSslError());
    }
    return drain(bio.get());
}

Status<IdentityError> writeCertificatePem(const std::string& path, X509* certificate) {
    auto pem = certificatePem(certificate);
    if (!pem) {
        return Unexpected(pem.error());
    }
    return writeWholeFile(path, *pem, 0644);
}

Status<IdentityError> writePrivateKeyPem(const std::string& path, EVP_PKEY* key) {
    auto pem = privateKeyPem(key);
    if (!pem) {
        return Unexpected(pem.error());
    }
    return writeWholeFile(path, *pem, 0600);
}

}  // namespace tavelin
