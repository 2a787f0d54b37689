#include "TavelinPlatform/signing/DevelopmentIdentity.h"

#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdint>

#include "TavelinPlatform/identity/PemFiles.h"
#include "TavelinPlatform/signing/PemWriting.h"

namespace tavelin {

namespace {

bool addNameEntry(X509_NAME* name, const char* field, const std::string& value) {
    if (value.empty()) {
        return true;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
    return X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8, bytes,
                                      static_cast<int>(value.size()), -1, 0) == 1;
}

bool setSubject(X509* certificate, const CertificateRequest& request) {
    X509_NAME* name = X509_get_subject_name(certificate);
    return addNameEntry(name, "O", request.organization) &&
           addNameEntry(name, "OU", request.organizationalUnit) &&
           addNameEntry(name, "CN", request.commonName);
}

bool setSerialAndValidity(X509* certificate, const CertificateRequest& request) {
    std::uint64_t serial = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) != 1) {
        return false;
    }
    serial = (serial >> 1U) | 1U;  // positive and never zero
    return X509_set_version(certificate, 2) == 1 &&
           ASN1_INTEGER_set_uint64(X509_get_serialNumber(certificate), serial) == 1 &&
           X509_gmtime_adj(X509_getm_notBefore(certificate), request.notBeforeOffset) != nullptr &&
           X509_gmtime_adj(X509_getm_notAfter(certificate), request.notAfterOffset) != nullptr;
}

bool addExtension(X509* certificate, X509V3_CTX* context, int nid, const std::string& value) {
    X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, context, nid, value.c_str()));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool addExtensions(X509* certificate, X509* issuer, const CertificateRequest& request) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    const bool ca = request.certificateAuthority;
    const std::string keyUsage = request.keyUsage.value_or(ca ? "critical,keyCertSign,cRLSign"
                                                              : "critical,digitalSignature");
    const std::string extendedKeyUsage = request.extendedKeyUsage.value_or(ca ? "" : "codeSigning");
    return addExtension(certificate, &context, NID_basic_constraints,
                        ca ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
           (keyUsage.empty() || addExtension(certificate, &context, NID_key_usage, keyUsage)) &&
           addExtension(certificate, &context, NID_subject_key_identifier, "hash") &&
           addExtension(certificate, &context, NID_authority_key_identifier, "keyid:always") &&
           (extendedKeyUsage.empty() ||
            addExtension(certificate, &context, NID_ext_key_usage, extendedKeyUsage));
}

// Builds and signs a certificate for `key`; a null issuer makes it self-signed.
Expected<CertifiedKey, IdentityError> makeCertificate(EvpPkeyPtr key, const CertifiedKey* issuer,
                                                      const CertificateRequest& request) {
    X509Ptr certificate(X509_new());
    if (!certificate || !setSerialAndValidity(certificate.get(), request) ||
        !setSubject(certificate.get(), request) ||
        X509_set_pubkey(certificate.get(), key.get()) != 1) {
        return identityError("certificate: " + takeOpenSslError());
    }
    X509* issuerCertificate = issuer != nullptr ? issuer->certificate.get() : certificate.get();
    EVP_PKEY* signingKey = issuer != nullptr ? issuer->key.get() : key.get();
    if (X509_set_issuer_name(certificate.get(), X509_get_subject_name(issuerCertificate)) != 1 ||
        !addExtensions(certificate.get(), issuerCertificate, request) ||
        X509_sign(certificate.get(), signingKey, EVP_sha256()) <= 0) {
        return identityError("certificate: " + takeOpenSslError());
    }
    return CertifiedKey{std::move(certificate), std::move(key)};
}

Expected<EvpPkeyPtr, IdentityError> newKey() {
    EvpPkeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        return identityError("key generation: " + takeOpenSslError());
    }
    return key;
}

}  // namespace

Expected<CertifiedKey, IdentityError> createAnchor(const CertificateRequest& request) {
    auto key = newKey();
    if (!key) {
        return Unexpected(key.error());
    }
    return createAnchor(request, std::move(key).value());
}

Expected<CertifiedKey, IdentityError> createAnchor(const CertificateRequest& request,
                                                   EvpPkeyPtr key) {
    CertificateRequest anchorRequest = request;
    anchorRequest.certificateAuthority = true;
    return makeCertificate(std::move(key), nullptr, anchorRequest);
}

Expected<CertifiedKey, IdentityError> issueCertificate(const CertifiedKey& issuer,
                                                       const CertificateRequest& request) {
    auto key = newKey();
    if (!key) {
        return Unexpected(key.error());
    }
    return makeCertificate(std::move(key).value(), &issuer, request);
}

DevelopmentIdentityFiles developmentIdentityFiles(const std::string& directory) {
    return {directory + "/anchor.pem", directory + "/anchor-key.pem", directory + "/leaf.pem",
            directory + "/leaf-key.pem"};
}

Expected<DevelopmentIdentityFiles, IdentityError> writeDevelopmentIdentity(
    const std::string& directory, std::string_view organizationalUnit) {
    CertificateRequest request;
    request.commonName = "Tavelin Development Anchor";
    request.organization = "Tavelin Development";
    auto anchor = createAnchor(request);
    if (!anchor) {
        return Unexpected(anchor.error());
    }
    request.commonName = "Tavelin Development Code Signing";
    request.organizationalUnit = std::string(organizationalUnit);
    auto leaf = issueCertificate(anchor.value(), request);
    if (!leaf) {
        return Unexpected(leaf.error());
    }
    const auto files = developmentIdentityFiles(directory);
    for (const auto& written :
         {writePrivateKeyPem(files.anchorKey, anchor.value().key.get()),
          writeCertificatePem(files.anchorCertificate, anchor.value().certificate.get()),
          writePrivateKeyPem(files.leafKey, leaf.value().key.get()),
          writeCertificatePem(files.leafCertificate, leaf.value().certificate.get())}) {
        if (!written) {
            return Unexpected(written.error());
        }
    }
    return files;
}

}  // namespace tavelin
