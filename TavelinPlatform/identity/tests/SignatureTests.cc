#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>

#include "TavelinPlatform/identity/CodeVerifier.h"
#include "TavelinPlatform/identity/SignatureBlock.h"
#include "TavelinPlatform/identity/tests/IdentityTestSupport.h"
#include "TavelinPlatform/signing/SignatureWriting.h"

namespace tavelin {
namespace {

using testing::TestIdentity;

const std::string clientIdentifier = "de.morvane.Tavelin";

UniqueFd openForReading(const std::filesystem::path& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

CodeCheckResult check(const std::filesystem::path& path, const TrustAnchor& anchor,
                      const std::string& requirement = "identifier \"de.morvane.Tavelin\"") {
    return checkCode(openForReading(path).get(), anchor, Requirement::parse(requirement).value())
        .result;
}

TEST(CodeSignatureTest, ReSigningReplacesTheBlockAndKeepsTheContent) {
    const testing::ScratchDirectory scratch;
    const auto file = scratch.path() / "peer";
    testing::copyTestPeer(file);
    const auto original = testing::readBytes(file);
    const TestIdentity first = testing::makeIdentity(testing::leafRequest("FIRSTTEAM1"), true);
    const TestIdentity second = testing::makeIdentity();
    testing::signOrFail(file, first, clientIdentifier);
    EXPECT_EQ(check(file, first.trustAnchor()), CodeCheckResult::satisfied)
        << "through an intermediate";
    const auto firstSize = std::filesystem::file_size(file);
    testing::signOrFail(file, second, clientIdentifier);
    testing::signOrFail(file, second, clientIdentifier);  // idempotent, as a POST_BUILD step is
    const auto afterSecond = testing::readBytes(file);
    EXPECT_GT(firstSize, afterSecond.size()) << "the longer first block must be cut away";
    EXPECT_TRUE(std::equal(original.begin(), original.end(), afterSecond.begin()));
    EXPECT_EQ(check(file, second.trustAnchor()), CodeCheckResult::satisfied);
    EXPECT_EQ(check(file, first.trustAnchor()), CodeCheckResult::invalid);
}

TEST(CodeSignatureTest, DamagedTrailersAndBlocksNeverCrashOrForgeAnIdentity) {
    const testing::ScratchDirectory scratch;
    const auto file = scratch.path() / "data";
    const TestIdentity client = testing::makeIdentity();
    for (const std::uint64_t length :
         {0UL, 64UL, 65UL, maximumSignatureBlockSize + 1, ~0UL, ~0UL - 15}) {
        auto bytes = std::vector<std::uint8_t>(64, 1);  // with 64, these bytes are the "block"
        const auto trailer = encodeSignatureTrailer(length);
        bytes.insert(bytes.end(), trailer.begin(), trailer.end());
        testing::writeBytes(file, bytes);
        EXPECT_FALSE(readSignedCode(openForReading(file).get(), client.trustAnchor()).has_value())
            << length;
    }
    // Every single-byte change of a good block either is refused or leaves the signed
    // identity exactly as it was.
    const std::vector<std::uint8_t> content(300, 0x5A);
    testing::writeBytes(file, content);
    testing::signOrFail(file, client, clientIdentifier);
    const auto good = testing::readBytes(file);
    for (std::size_t offset = content.size(); offset < good.size() - signatureTrailerSize;
         offset += 3) {
        auto bytes = good;
        bytes[offset] ^= 0x41;
        testing::writeBytes(file, bytes);
        const UniqueFd fd = openForReading(file);
        const auto code = readSignedCode(fd.get(), client.trustAnchor());
        if (code.has_value()) {
            EXPECT_EQ(code.value().record.identifier, clientIdentifier) << "offset " << offset;
            EXPECT_TRUE(verifySignedContent(fd.get(), code.value()).has_value())
                << "offset " << offset;
        }
    }
}

// Bytes this process has read so far, as the kernel counts them (rchar in /proc/self/io).
std::uint64_t bytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value && key != "rchar:") {
    }
    return value;
}

TEST(CodeSignatureTest, RefusedCodeIsNeverHashed) {
    constexpr std::uint64_t contentSize = std::uint64_t{32} * 1024 * 1024;
    const TestIdentity client = testing::makeIdentity();
    const TestIdentity otherTeam =
        testing::makeSiblingIdentity(client, testing::leafRequest("ZZ9ZZ9ZZ9Z"));
    const std::pair<const TestIdentity*, CodeCheckResult> cases[] = {
        {&otherTeam, CodeCheckResult::notSatisfied},
        {&client, CodeCheckResult::satisfied},
    };
    for (const auto& [signer, expected] : cases) {
        const testing::ScratchDirectory scratch;
        const auto file = scratch.path() / "large";
        testing::writeBytes(file, {});
        std::filesystem::resize_file(file, contentSize);
        testing::signOrFail(file, *signer, clientIdentifier);
        const std::uint64_t before = bytesReadSoFar();
        EXPECT_EQ(
            check(file, client.trustAnchor(), "certificate leaf[subject.OU] = \"QH4T7R2KZ5\""),
            expected);
        const std::uint64_t read = bytesReadSoFar() - before;
        EXPECT_TRUE(expected == CodeCheckResult::satisfied ? read >= contentSize
                                                           : read < std::uint64_t{64} * 1024)
            << "expected " << static_cast<int>(expected) << ", read " << read << " bytes";
    }
}

}  // namespace
}  // namespace tavelin
