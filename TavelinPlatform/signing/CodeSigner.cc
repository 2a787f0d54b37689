#include "TavelinPlatform/signing/CodeSigner.h"

#include <fcntl.h>

#include "TavelinPlatform/identity/FileReading.h"
#include "TavelinPlatform/identity/PemFiles.h"
#include "TavelinPlatform/identity/SignedRecord.h"
#include "TavelinPlatform/signing/SignatureWriting.h"

namespace tavelin {

namespace {

constexpr unsigned int cmsFlags = CMS_BINARY | CMS_NOSMIMECAP | CMS_PARTIAL;

Expected<std::vector<std::uint8_t>, IdentityError> derOf(CMS_ContentInfo* cms) {
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms, &der);
    if (length <= 0 || der == nullptr) {
        return identityError("CMS encoding: " + takeOpenSslError());
    }
    std::vector<std::uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

// A CMS SignedData with the record as its attached content and one signer.
Expected<std::vector<std::uint8_t>, IdentityError> signRecord(
    const std::vector<std::uint8_t>& record, const SigningIdentity& identity) {
    X509StackPtr chain(sk_X509_new_null());
    if (!chain) {
        return identityError("CMS: " + takeOpenSslError());
    }
    for (const auto& certificate : identity.chain) {
        X509Ptr shared = shareCertificate(certificate.get());
        if (!shared || sk_X509_push(chain.get(), shared.get()) <= 0) {
            return identityError("CMS: " + takeOpenSslError());
        }
        static_cast<void>(shared.release());  // now owned by the stack
    }
    CmsPtr cms(CMS_sign(nullptr, nullptr, chain.get(), nullptr, cmsFlags));
    if (!cms || CMS_add1_signer(cms.get(), identity.certificate.get(), identity.key.get(),
                                EVP_sha256(), cmsFlags) == nullptr) {
        return identityError("CMS signing: " + takeOpenSslError());
    }
    BioPtr content(BIO_new_mem_buf(record.data(), static_cast<int>(record.size())));
    if (!content || CMS_final(cms.get(), content.get(), nullptr, CMS_BINARY) != 1) {
        return identityError("CMS signing: " + takeOpenSslError());
    }
    return derOf(cms.get());
}

}  // namespace

Expected<SigningIdentity, IdentityError> loadSigningIdentity(const std::string& keyPath,
                                                             const std::string& certificatePath,
                                                             const std::string& chainPath) {
    auto key = readPrivateKeyPem(keyPath);
    if (!key) {
        return Unexpected(key.error());
    }
    auto certificates = readCertificatesPem(certificatePath);
    if (!certificates) {
        return Unexpected(certificates.error());
    }
    SigningIdentity identity{std::move(certificates.value().front()), std::move(key).value(), {}};
    if (X509_check_private_key(identity.certificate.get(), identity.key.get()) != 1) {
        static_cast<void>(takeOpenSslError());
        return identityError(keyPath + ": the key does not belong to " + certificatePath);
    }
    if (!chainPath.empty()) {
        auto chain = readCertificatesPem(chainPath);
        if (!chain) {
            return Unexpected(chain.error());
        }
        identity.chain = std::move(chain).value();
    }
    return identity;
}

Expected<std::vector<std::uint8_t>, IdentityError> makeSignatureBlock(
    int fd, std::uint64_t contentLength, const SigningIdentity& identity,
    std::string_view identifier) {
    if (!isAcceptableIdentifier(identifier)) {
        return identityError("identifier must be 1 to " + std::to_string(maximumIdentifierLength) +
                             " bytes without control characters");
    }
    auto digest = digestFilePrefix(fd, contentLength);
    if (!digest) {
        return Unexpected(digest.error());
    }
    const auto record =
        encodeSignedRecord({std::string(identifier), contentLength, digest.value()});
    return signRecord(record, identity);
}

Expected<SignatureLayout, IdentityError> signFile(int fd, const SigningIdentity& identity,
                                                  std::string_view identifier) {
    auto existing = locateSignatureBlock(fd);
    if (!existing) {
        return identityError("cannot re-sign: " + existing.error().message);
    }
    std::uint64_t contentLength = 0;
    if (existing.value()) {
        contentLength = existing.value()->contentLength;
    } else {
        auto size = regularFileSize(fd);
        if (!size) {
            return Unexpected(size.error());
        }
        contentLength = size.value();
    }
    auto block = makeSignatureBlock(fd, contentLength, identity, identifier);
    if (!block) {
        return Unexpected(block.error());
    }
    if (auto written = writeSignatureBlock(fd, contentLength, block.value()); !written) {
        return Unexpected(written.error());
    }
    return SignatureLayout{contentLength, block.value().size()};
}

Expected<SignatureLayout, IdentityError> signFileAtPath(const std::string& path,
                                                        const SigningIdentity& identity,
                                                        std::string_view identifier) {
    auto file = openFile(path, O_RDWR);
    if (!file) {
        return Unexpected(file.error());
    }
    auto signedLayout = signFile(file.value().get(), identity, identifier);
    if (!signedLayout) {
        return identityError(path + ": " + signedLayout.error().message);
    }
    return signedLayout;
}

}  // namespace tavelin
