#include "PemFiles.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include "FileIo.h"

namespace tavelin {

namespace {

constexpr std::size_t maximumPemFileSize = std::size_t{1024} * 1024;

BioPtr memoryBioOf(const std::string& text) {
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

Outcome<std::string> drain(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    if (length <= 0 || data == nullptr) {
        return identityError("PEM encoding: " + takeOpenSslError());
    }
    return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

Outcome<std::vector<X509Ptr>> readCertificatesPem(const std::string& path) {
    auto text = readSmallFile(path, maximumPemFileSize);
    if (!text) {
        return text.error();
    }
    BioPtr bio = memoryBioOf(text.value());
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

Outcome<EvpPkeyPtr> readPrivateKeyPem(const std::string& path) {
    auto text = readSmallFile(path, maximumPemFileSize);
    if (!text) {
        return text.error();
    }
    BioPtr bio = memoryBioOf(text.value());
    EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        ERR_clear_error();
        return identityError(path + ": not a readable private key");
    }
    return key;
}

Outcome<std::string> certificatePem(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) {
        return identityError("PEM encoding: " + takeOpenSslError());
    }
    return drain(bio.get());
}

Outcome<std::string> privateKeyPem(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return identityError("PEM encoding: " + takeOpenSslError());
    }
    return drain(bio.get());
}

Outcome<Done> writeCertificatePem(const std::string& path, X509* certificate) {
    auto pem = certificatePem(certificate);
    if (!pem) {
        return pem.error();
    }
    return writeWholeFile(path, pem.value(), 0644);
}

Outcome<Done> writePrivateKeyPem(const std::string& path, EVP_PKEY* key) {
    auto pem = privateKeyPem(key);
    if (!pem) {
        return pem.error();
    }
    return writeWholeFile(path, pem.value(), 0600);
}

}  // namespace tavelin
