#include "TavelinPlatform/identity/PemFiles.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include "TavelinPlatform/identity/FileReading.h"

namespace tavelin {

namespace {

BioPtr memoryBioOf(const std::string& text) {
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

}  // namespace

Expected<std::vector<X509Ptr>, IdentityError> readCertificatesPem(const std::string& path) {
    auto text = readSmallFile(path, maximumPemFileSize);
    if (!text) {
        return Unexpected(text.error());
    }
    return parseCertificatesPem(*text, path);
}

Expected<std::vector<X509Ptr>, IdentityError> parseCertificatesPem(std::string_view text,
                                                                   std::string_view origin) {
    const std::string path(origin);
    BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    std::vector<X509Ptr> certificates;
    while (true) {
        X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!certificate) {
            break;
        }
        certificates.push_back(std::move(certificate));
    }
    // Reading stops at the end of the data (PEM_R_NO_START_LINE) or at a damaged entry.
    const unsigned long last = ERR_peek_last_error();
    const bool cleanEnd = last == 0 || (ERR_GET_LIB(last) == ERR_LIB_PEM &&
                                        ERR_GET_REASON(last) == PEM_R_NO_START_LINE);
    ERR_clear_error();
    if (!cleanEnd) {
        return identityError(path + ": damaged certificate");
    }
    if (certificates.empty()) {
        return identityError(path + ": no certificate in file");
    }
    return certificates;
}

Expected<EvpPkeyPtr, IdentityError> readPrivateKeyPem(const std::string& path) {
    auto text = readSmallFile(path, maximumPemFileSize);
    if (!text) {
        return Unexpected(text.error());
    }
    BioPtr bio = memoryBioOf(*text);
    EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        ERR_clear_error();
        return identityError(path + ": not a readable private key");
    }
    return key;
}

}  // namespace tavelin
