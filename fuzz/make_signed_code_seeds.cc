// Writes the seeds of fuzz_signed_code into a directory: a tiny file signed under the
// fuzzer's fixed anchor in several ways, signed under another anchor, and damaged copies.
//   make_signed_code_seeds <directory>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/identity/SignedRecord.h"
#include "TavelinPlatform/signing/CodeSigner.h"
#include "TavelinPlatform/signing/SignatureWriting.h"
#include "TavelinShared/PrivilegedHelperInfo.h"
#include "fuzz/FixedAnchor.h"

namespace {

using namespace tavelin;
using Bytes = std::vector<std::uint8_t>;

const std::string identifier(PrivilegedHelperInfo::clientBundleIdentifier);
const Bytes content = {0x7F, 'E', 'L', 'F', ' ', 't', 'i', 'n', 'y', ' ', 'p', 'e', 'e', 'r'};

Expected<CertifiedKey, IdentityError> leafUnder(const CertifiedKey& issuer,
                                                const std::string& organizationalUnit,
                                                const std::string& extendedKeyUsage) {
    CertificateRequest request{"Tavelin Fuzzing Signer", "Tavelin Fuzzing", organizationalUnit};
    request.extendedKeyUsage = extendedKeyUsage;
    return issueCertificate(issuer, request);
}

// `bytes` followed by their signature block and trailer.
Expected<Bytes, IdentityError> signedCopy(const Bytes& bytes, CertifiedKey leaf,
                                          const CertifiedKey* intermediate = nullptr) {
    const UniqueFd file(::memfd_create("seed", MFD_CLOEXEC));
    if (!file ||
        ::write(file.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        return identityError("memfd: cannot hold the content");
    }
    SigningIdentity signer{std::move(leaf.certificate), std::move(leaf.key), {}};
    if (intermediate != nullptr) {
        signer.chain.push_back(shareCertificate(intermediate->certificate.get()));
    }
    auto block = makeSignatureBlock(file.get(), bytes.size(), signer, identifier);
    if (!block) {
        return Unexpected(block.error());
    }
    Bytes result = bytes;
    result.insert(result.end(), block.value().begin(), block.value().end());
    const Bytes trailer = encodeSignatureTrailer(block.value().size());
    result.insert(result.end(), trailer.begin(), trailer.end());
    return result;
}

Bytes withTrailer(Bytes bytes, std::uint64_t blockLength) {
    const Bytes trailer = encodeSignatureTrailer(blockLength);
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    return bytes;
}

Expected<std::vector<std::pair<std::string, Bytes>>, IdentityError> makeSeeds() {
    auto anchor = fuzzing::makeFixedAnchor();
    CertificateRequest intermediateRequest{"Tavelin Fuzzing Intermediate", "Tavelin Fuzzing", ""};
    intermediateRequest.certificateAuthority = true;
    intermediateRequest.extendedKeyUsage = "codeSigning";
    auto foreignAnchor = createAnchor({"Tavelin Fuzzing Anchor", "Tavelin Fuzzing", ""});
    if (!anchor || !foreignAnchor) {
        return Unexpected(anchor ? foreignAnchor.error() : anchor.error());
    }
    auto intermediate = issueCertificate(anchor.value(), intermediateRequest);
    if (!intermediate) {
        return Unexpected(intermediate.error());
    }
    const std::string team(PrivilegedHelperInfo::teamIdentifier);
    std::vector<std::pair<std::string, Expected<Bytes, IdentityError>>> made;
    const auto sign = [&](const std::string& name, const Bytes& bytes, const CertifiedKey& issuer,
                          const std::string& organizationalUnit, const std::string& usage,
                          const CertifiedKey* chain = nullptr) {
        auto leaf = leafUnder(issuer, organizationalUnit, usage);
        made.emplace_back(name, leaf ? signedCopy(bytes, std::move(leaf).value(), chain)
                                     : Unexpected(leaf.error()));
    };
    sign("signed", content, anchor.value(), team, "codeSigning");
    sign("signed_empty", {}, anchor.value(), team, "codeSigning");
    sign("through_intermediate", content, intermediate.value(), team, "codeSigning",
         &intermediate.value());
    sign("other_team", content, anchor.value(), "ZZ9ZZ9ZZ9Z", "codeSigning");
    sign("not_for_code_signing", content, anchor.value(), team, "emailProtection");
    sign("foreign_anchor", content, foreignAnchor.value(), team, "codeSigning");

    std::vector<std::pair<std::string, Bytes>> seeds;
    for (auto& [name, bytes] : made) {
        if (!bytes) {
            return Unexpected(IdentityError{name + ": " + bytes.error().message, 0});
        }
        seeds.emplace_back(name, std::move(bytes).value());
    }
    const Bytes good = seeds.front().second;
    const std::uint64_t blockLength = good.size() - content.size() - signatureTrailerSize;
    Bytes changed = good;
    changed[1] ^= 0x20U;
    seeds.emplace_back("content_changed", changed);
    // The block cut short by 100 bytes, with a trailer that says so: the DER ends early.
    Bytes truncated(good.begin(), good.end() - signatureTrailerSize - 100);
    seeds.emplace_back("truncated_block", withTrailer(truncated, blockLength - 100));
    Bytes withoutTrailer(good.begin(), good.end() - signatureTrailerSize);
    seeds.emplace_back("trailer_past_start", withTrailer(withoutTrailer, good.size() - 15));
    Bytes block(good.begin() + static_cast<std::ptrdiff_t>(content.size()),
                good.end() - signatureTrailerSize);
    seeds.emplace_back("block_only", withTrailer(block, blockLength));
    seeds.emplace_back("trailer_length_zero", withTrailer(content, 0));
    seeds.emplace_back("unsigned", content);
    SignedRecord record{identifier, content.size(), {}};
    record.contentDigest.fill(0xA5);
    seeds.emplace_back("record", encodeSignedRecord(record));
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        static_cast<void>(std::fputs("usage: make_signed_code_seeds <directory>\n", stderr));
        return 2;
    }
    const auto seeds = makeSeeds();
    if (!seeds) {
        static_cast<void>(std::fprintf(stderr, "%s\n", seeds.error().message.c_str()));
        return 1;
    }
    for (const auto& [name, bytes] : seeds.value()) {
        std::ofstream out(std::string(argv[1]) + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        if (!out.good()) {
            static_cast<void>(std::fprintf(stderr, "cannot write %s\n", name.c_str()));
            return 1;
        }
    }
    return 0;
}
