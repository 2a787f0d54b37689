#include "TavelinPlatform/identity/CodeVerifier.h"

#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>

#include "TavelinPlatform/identity/OpenSslHandles.h"

namespace tavelin {

namespace {

Expected<CmsPtr, IdentityError> parseSignedData(const std::vector<std::uint8_t>& block) {
    const unsigned char* cursor = block.data();
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(block.size())));
    if (!cms || cursor != block.data() + block.size()) {
        static_cast<void>(takeOpenSslError());
        return identityError("signature block is damaged (not one DER CMS structure)");
    }
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
        OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data ||
        CMS_is_detached(cms.get()) != 0 ||
        sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) != 1) {
        return identityError("signature block is not a SignedData with one signer and content");
    }
    return cms;
}

// Checks the one signer's signature with the certificates the block carries, without
// judging them yet, and returns the signed record's bytes.
Expected<std::vector<std::uint8_t>, IdentityError> verifySignature(CMS_ContentInfo* cms) {
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || CMS_verify(cms, nullptr, nullptr, nullptr, out.get(),
                           CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) != 1) {
        return identityError("signature does not verify: " + takeOpenSslError());
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    if (length <= 0 || data == nullptr) {
        return identityError("signature block holds no signed record");
    }
    return std::vector<std::uint8_t>(data, data + length);
}

bool allowsCodeSigning(X509* certificate, bool leaf) {
    const std::uint32_t flags = X509_get_extension_flags(certificate);
    if ((flags & EXFLAG_INVALID) != 0) {
        return false;
    }
    const bool hasCodeSigning = (X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) != 0;
    if (leaf) {
        // The leaf must say so explicitly; a certificate without the extension is not
        // taken as good for everything.
        const bool canSign = (flags & EXFLAG_KUSAGE) == 0 ||
                             (X509_get_key_usage(certificate) & KU_DIGITAL_SIGNATURE) != 0;
        return (flags & EXFLAG_XKUSAGE) != 0 && hasCodeSigning && canSign;
    }
    // An intermediate that restricts its extended key usage must allow code signing.
    return (flags & EXFLAG_XKUSAGE) == 0 || hasCodeSigning;
}

// Narrows `period` to the dates of `certificate`; empties it when a date cannot be read.
void narrowTo(ValidityPeriod& period, const X509* certificate) {
    std::tm from{};
    std::tm until{};
    if (ASN1_TIME_to_tm(X509_get0_notBefore(certificate), &from) != 1 ||
        ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &until) != 1) {
        period = {std::numeric_limits<std::time_t>::max(), std::numeric_limits<std::time_t>::min()};
        return;
    }
    period.notBefore = std::max(period.notBefore, ::timegm(&from));
    period.notAfter = std::min(period.notAfter, ::timegm(&until));
}

// Builds and verifies the chain from the signer to the anchor (dates as of now), then
// checks it for code signing. `validity`: when every certificate of the chain, the anchor
// included, is valid.
Status<IdentityError> verifyChain(CMS_ContentInfo* cms, X509* leaf, const TrustAnchor& anchor,
                                  ValidityPeriod& validity) {
    const X509Ptr anchorCertificate = anchor.freshCertificate();
    X509StorePtr store(X509_STORE_new());
    X509StackPtr carried(CMS_get1_certs(cms));
    X509StoreCtxPtr context(X509_STORE_CTX_new());
    if (!anchorCertificate || !store || !carried || !context ||
        X509_STORE_add_cert(store.get(), anchorCertificate.get()) != 1 ||
        X509_STORE_CTX_init(context.get(), store.get(), leaf, carried.get()) != 1) {
        return identityError("chain verification: " + takeOpenSslError());
    }
    // The anchor is trusted as it is, whether or not it is self-signed.
    X509_STORE_CTX_set_flags(context.get(), X509_V_FLAG_PARTIAL_CHAIN);
    if (X509_verify_cert(context.get()) != 1) {
        const int error = X509_STORE_CTX_get_error(context.get());
        static_cast<void>(takeOpenSslError());
        return identityError(std::string("certificate chain: ") +
                             X509_verify_cert_error_string(error));
    }
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
    const int length = sk_X509_num(chain);
    if (length < 1 || X509_cmp(sk_X509_value(chain, length - 1), anchorCertificate.get()) != 0) {
        return identityError("certificate chain does not end at the trust anchor");
    }
    for (int index = 0; index < length - 1; ++index) {
        if (!allowsCodeSigning(sk_X509_value(chain, index), index == 0)) {
            return identityError(index == 0 ? "leaf certificate is not for code signing"
                                            : "an intermediate certificate excludes code signing");
        }
    }
    validity = {};
    for (int index = 0; index < length; ++index) {
        narrowTo(validity, sk_X509_value(chain, index));
    }
    return {};
}

std::vector<std::string> subjectValues(X509* certificate, int nid) {
    std::vector<std::string> values;
    const X509_NAME* name = X509_get_subject_name(certificate);
    for (int index = X509_NAME_get_index_by_NID(name, nid, -1); index >= 0;
         index = X509_NAME_get_index_by_NID(name, nid, index)) {
        unsigned char* utf8 = nullptr;
        const int length =
            ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
        // An entry that cannot be read as text still counts, as a value matching nothing.
        values.emplace_back(
            length >= 0 && utf8 != nullptr
                ? std::string(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length))
                : std::string("\x7F"));
        OPENSSL_free(utf8);
    }
    return values;
}

std::string oneLineSubject(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0,
                                   XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 && data != nullptr ? std::string(data, static_cast<std::size_t>(length)) : "";
}

// `fault`, when the block is refused, says which check refused it.
Expected<SignedCode, IdentityError> readBlock(int fd, const TrustAnchor& anchor,
                                              const SignatureLayout& layout, CodeFault& fault) {
    fault = CodeFault::damaged;
    auto block = readSignatureBlock(fd, layout);
    if (!block) {
        return Unexpected(block.error());
    }
    auto cms = parseSignedData(block.value());
    if (!cms) {
        return Unexpected(cms.error());
    }
    auto recordBytes = verifySignature(cms.value().get());
    if (!recordBytes) {
        return Unexpected(recordBytes.error());
    }
    // A new stack of borrowed certificates: free the stack only, not what it lends.
    STACK_OF(X509)* signers = CMS_get0_signers(cms.value().get());
    const X509Ptr leafHeld = signers != nullptr && sk_X509_num(signers) == 1
                                 ? shareCertificate(sk_X509_value(signers, 0))
                                 : X509Ptr{};
    sk_X509_free(signers);
    if (!leafHeld) {
        return identityError("signature block names no signer certificate");
    }
    ValidityPeriod validity;
    if (auto chain = verifyChain(cms.value().get(), leafHeld.get(), anchor, validity); !chain) {
        fault = CodeFault::untrustedSigner;
        return Unexpected(chain.error());
    }
    auto record = decodeSignedRecord(recordBytes.value());
    if (!record) {
        return Unexpected(record.error());
    }
    fault = CodeFault::none;
    SignedCode code{
        layout, std::move(record).value(), {}, oneLineSubject(leafHeld.get()), validity};
    code.facts = {true, code.record.identifier,
                  subjectValues(leafHeld.get(), NID_organizationalUnitName),
                  subjectValues(leafHeld.get(), NID_commonName),
                  subjectValues(leafHeld.get(), NID_organizationName)};
    return code;
}

}  // namespace

namespace {

// readSignedCode, noting in `fault` which check refused the file.
Expected<SignedCode, IdentityError> readNotingFault(int fd, const TrustAnchor& anchor,
                                                    CodeFault& fault) {
    fault = CodeFault::damaged;
    auto layout = locateSignatureBlock(fd);
    if (!layout) {
        return Unexpected(layout.error());
    }
    if (!layout.value()) {
        fault = CodeFault::unsignedFile;
        return identityError("file is not signed (no signature trailer)");
    }
    return readBlock(fd, anchor, *layout.value(), fault);
}

}  // namespace

Expected<SignedCode, IdentityError> readSignedCode(int fd, const TrustAnchor& anchor) {
    CodeFault fault = CodeFault::none;
    return readNotingFault(fd, anchor, fault);
}

Status<IdentityError> verifySignedContent(int fd, const SignedCode& code) {
    if (code.record.contentLength != code.layout.contentLength) {
        return identityError("file length differs from the signed length");
    }
    auto digest = digestFilePrefix(fd, code.layout.contentLength);
    if (!digest) {
        return Unexpected(digest.error());
    }
    if (digest.value() != code.record.contentDigest) {
        return identityError("file content differs from the signed content");
    }
    return {};
}

CodeCheck checkCode(int fd, const TrustAnchor& anchor, const Requirement& requirement) {
    CodeFault fault = CodeFault::damaged;
    auto code = readNotingFault(fd, anchor, fault);
    if (!code) {
        return {CodeCheckResult::invalid, code.error().message, fault};
    }
    // The length check is free; doing it here spares a hash of a file that was cut or grown.
    if (code.value().record.contentLength != code.value().layout.contentLength) {
        return {CodeCheckResult::invalid, "file length differs from the signed length",
                CodeFault::altered};
    }
    if (!requirement.isSatisfiedBy(code.value().facts)) {
        return {CodeCheckResult::notSatisfied, "the code does not satisfy the requirement",
                CodeFault::requirementNotMet};
    }
    if (auto content = verifySignedContent(fd, code.value()); !content) {
        // A read that failed is no proof of a change; what the hash refuted is.
        return {CodeCheckResult::invalid, content.error().message,
                content.error().errorNumber == 0 ? CodeFault::altered : CodeFault::damaged};
    }
    return {CodeCheckResult::satisfied, {}, CodeFault::none, code.value().validity};
}

}  // namespace tavelin
