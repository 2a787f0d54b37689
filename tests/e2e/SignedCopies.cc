#include "EndToEndSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "CodeSigner.h"
#include "DevelopmentIdentity.h"
#include "PemFiles.h"
#include "SignatureBlock.h"
#include "SystemError.h"
#include "UniqueFd.h"

namespace tavelin::e2e {
namespace {

// Copies the first `length` bytes of `source` to a new executable `destination`.
std::string copyPrefix(const std::string& source, const std::string& destination,
                       std::uint64_t length) {
    const UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    const UniqueFd out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755));
    if (!in || !out) {
        return "open " + source + " / " + destination + ": " + systemErrorText(errno);
    }
    char buffer[65536];
    while (length > 0) {
        const ssize_t count =
            ::read(in.get(), buffer, static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof buffer)));
        if (count <= 0) {
            return count == 0 ? std::string() : "read " + source + ": " + systemErrorText(errno);
        }
        if (::write(out.get(), buffer, static_cast<std::size_t>(count)) != count) {
            return "write " + destination + ": " + systemErrorText(errno);
        }
        length -= static_cast<std::uint64_t>(count);
    }
    return {};
}

// The program without its signature block: byte for byte the code that was signed.
std::string copyWithoutSignature(const std::string& signedProgram, const std::string& destination) {
    const UniqueFd in(::open(signedProgram.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) {
        return "open " + signedProgram + ": " + systemErrorText(errno);
    }
    const Outcome<std::optional<SignatureLayout>> layout = locateSignatureBlock(in.get());
    if (!layout) {
        return layout.error().message;
    }
    if (!layout.value()) {
        return signedProgram + " is not signed";
    }
    return copyPrefix(signedProgram, destination, layout.value()->contentLength);
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
    std::string pattern = "/tmp/tavelin-e2e-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

ScratchDirectory::~ScratchDirectory() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

std::string makeCopySignedUnderDevelopmentAnchor(const std::string& program,
                                                 const std::string& destination,
                                                 std::string_view organizationalUnit,
                                                 std::string_view identifier) {
    const DevelopmentIdentityFiles files = developmentIdentityFiles(TAVELIN_DEVELOPMENT_IDENTITY_DIR);
    Outcome<std::vector<X509Ptr>> anchorCertificates = readCertificatesPem(files.anchorCertificate);
    Outcome<EvpPkeyPtr> anchorKey = readPrivateKeyPem(files.anchorKey);
    if (!anchorCertificates || !anchorKey) {
        return "development anchor in " TAVELIN_DEVELOPMENT_IDENTITY_DIR " unreadable";
    }
    const CertifiedKey anchor{std::move(anchorCertificates.value().front()),
                              std::move(anchorKey.value())};
    CertificateRequest request;
    request.commonName = "Tavelin end-to-end test signer";
    request.organization = "Morvane";
    request.organizationalUnit = std::string(organizationalUnit);
    Outcome<CertifiedKey> leaf = issueCertificate(anchor, request);
    if (!leaf) {
        return leaf.error().message;
    }
    const SigningIdentity signer{std::move(leaf.value().certificate), std::move(leaf.value().key), {}};
    if (std::string failure = copyWithoutSignature(program, destination); !failure.empty()) {
        return failure;
    }
    const Outcome<SignatureLayout> signedLayout =
        signFileAtPath(destination, signer, identifier);
    return signedLayout ? std::string() : signedLayout.error().message;
}

}  // namespace tavelin::e2e
