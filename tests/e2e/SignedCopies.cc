#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "TavelinPlatform/identity/PemFiles.h"
#include "TavelinPlatform/signing/CodeSigner.h"
#include "TavelinPlatform/signing/DevelopmentIdentity.h"
#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {

ScratchDirectory::ScratchDirectory() {
    std::string pattern = "/tmp/tavelin-e2e-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string makeCopySignedUnderDevelopmentAnchor(const std::string& program,
                                                 const std::string& destination,
                                                 std::string_view organizationalUnit,
                                                 std::string_view identifier) {
    const DevelopmentIdentityFiles files =
        developmentIdentityFiles(TAVELIN_DEVELOPMENT_IDENTITY_DIR);
    Expected<std::vector<X509Ptr>, IdentityError> anchorCertificates =
        readCertificatesPem(files.anchorCertificate);
    Expected<EvpPkeyPtr, IdentityError> anchorKey = readPrivateKeyPem(files.anchorKey);
    if (!anchorCertificates || !anchorKey) {
        return "development anchor in " TAVELIN_DEVELOPMENT_IDENTITY_DIR " unreadable";
    }
    const CertifiedKey anchor{std::move(anchorCertificates.value().front()),
                              std::move(anchorKey.value())};
    CertificateRequest request;
    request.commonName = "Tavelin end-to-end test signer";
    request.organization = "Morvane";
    request.organizationalUnit = std::string(organizationalUnit);
    Expected<CertifiedKey, IdentityError> leaf = issueCertificate(anchor, request);
    std::error_code copyError;
    if (!leaf || !std::filesystem::copy_file(program, destination, copyError)) {
        return leaf ? "copy " + program + ": " + copyError.message() : leaf.error().message;
    }
    // The copy's old signature block is replaced; the code before it stays byte for byte.
    const SigningIdentity signer{
        std::move(leaf.value().certificate), std::move(leaf.value().key), {}};
    const Expected<SignatureLayout, IdentityError> signedLayout =
        signFileAtPath(destination, signer, identifier);
    return signedLayout ? std::string() : signedLayout.error().message;
}

}  // namespace tavelin::e2e
