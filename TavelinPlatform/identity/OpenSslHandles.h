#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace tavelin {

// Owning handles for the OpenSSL objects this layer creates, so that every one of them
// is freed on every path.
struct OpenSslDeleter {
    void operator()(X509* object) const noexcept { X509_free(object); }
    void operator()(EVP_PKEY* object) const noexcept { EVP_PKEY_free(object); }
    void operator()(EVP_PKEY_CTX* object) const noexcept { EVP_PKEY_CTX_free(object); }
    void operator()(EVP_MD_CTX* object) const noexcept { EVP_MD_CTX_free(object); }
    void operator()(BIO* object) const noexcept { BIO_free_all(object); }
    void operator()(CMS_ContentInfo* object) const noexcept { CMS_ContentInfo_free(object); }
    void operator()(X509_STORE* object) const noexcept { X509_STORE_free(object); }
    void operator()(X509_STORE_CTX* object) const noexcept { X509_STORE_CTX_free(object); }
    void operator()(X509_EXTENSION* object) const noexcept { X509_EXTENSION_free(object); }
    void operator()(STACK_OF(X509) * object) const noexcept { sk_X509_pop_free(object, X509_free); }
};

using X509Ptr = std::unique_ptr<X509, OpenSslDeleter>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslDeleter>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, OpenSslDeleter>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, OpenSslDeleter>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslDeleter>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSslDeleter>;

// Takes another reference to `certificate` (X509_up_ref) and owns it.
[[nodiscard]] X509Ptr shareCertificate(X509* certificate);

// The oldest queued OpenSSL error as text ("no error details" when the queue is empty);
// clears the thread's error queue, so one failure never leaks into the next report.
[[nodiscard]] std::string takeOpenSslError();

}  // namespace tavelin
