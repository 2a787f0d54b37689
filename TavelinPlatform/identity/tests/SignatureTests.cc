#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "CodeVerifier.h"
#include "FileIo.h"
#include "IdentityTestSupport.h"
#include "SignatureBlock.h"

namespace tavelin {
namespace {

using testing::ScratchDirectory;
using testing::TestIdentity;

const std::string clientIdentifier = "de.morvane.Tavelin";

UniqueFd openForReading(const std::filesystem::path& path) {
    auto file = openFile(path, O_RDONLY);
    EXPECT_TRUE(file.ok()) << path;
    return file ? std::move(file).value() : UniqueFd{};
}

CodeCheckResult check(const std::filesystem::path& path, const TrustAnchor& anchor) {
    return checkCode(openForReading(path).get(), anchor,
                     Requirement::parse("identifier \"de.morvane.Tavelin\"").value())
        .result;
}

TEST(CodeSignatureTest, ReSigningReplacesTheBlockAndKeepsTheContent) {
    ScratchDirectory scratch;
    const auto file = scratch.path() / "peer";
    testing::copyTestPeer(file);
    const auto original = testing::readBytes(file);
    const TestIdentity first = testing::makeIdentity(testing::leafRequest("FIRSTTEAM1"), true);
    const TestIdentity second = testing::makeIdentity();

    testing::signOrFail(file, first, clientIdentifier);
    EXPECT_EQ(check(file, first.trustAnchor()), CodeCheckResult::satisfied) << "through an intermediate";
    const auto afterFirst = testing::readBytes(file);
    testing::signOrFail(file, second, clientIdentifier);
    testing::signOrFail(file, second, clientIdentifier);  // idempotent, as a POST_BUILD step is
    const auto afterSecond = testing::readBytes(file);
    EXPECT_GT(afterFirst.size(), afterSecond.size()) << "the longer first block must be cut away";
    EXPECT_TRUE(std::equal(original.begin(), original.end(), afterSecond.begin()));
    EXPECT_EQ(check(file, second.trustAnchor()), CodeCheckResult::satisfied);
    EXPECT_EQ(check(file, first.trustAnchor()), CodeCheckResult::invalid);

    // A block without the intermediate its leaf was issued by does not reach the anchor.
    auto withoutChain = first.signingIdentity();
    withoutChain.chain.clear();
    ASSERT_TRUE(signFileAtPath(file, withoutChain, clientIdentifier).ok());
    EXPECT_EQ(check(file, first.trustAnchor()), CodeCheckResult::invalid);
}

TEST(CodeSignatureTest, DamagedTrailersAndBlocksNeverCrashOrForgeAnIdentity) {
    ScratchDirectory scratch;
    const auto file = scratch.path() / "data";
    const TestIdentity client = testing::makeIdentity();
    auto trailerWith = [](std::uint64_t length) {
        std::vector<std::uint8_t> bytes(64, 1);
        const auto trailer = encodeSignatureTrailer(length);
        bytes.insert(bytes.end(), trailer.begin(), trailer.end());
        return bytes;
    };
    const std::vector<std::vector<std::uint8_t>> hostile = {
        {}, {'T', 'V', 'L', 'C', 'S', 'I', 'G', '1'}, trailerWith(0), trailerWith(65),
        trailerWith(64),  // the 64 filler bytes as a "block"
        trailerWith(maximumSignatureBlockSize + 1), trailerWith(~0ULL), trailerWith(~0ULL - 15),
    };
    for (const auto& bytes : hostile) {
        testing::writeBytes(file, bytes);
        EXPECT_FALSE(readSignedCode(openForReading(file).get(), client.trustAnchor()).ok())
            << "size " << bytes.size();
    }

    // Every single-byte change of a good block either is refused or leaves the signed
    // identity exactly as it was.
    const std::vector<std::uint8_t> content(300, 0x5A);
    testing::writeBytes(file, content);
    testing::signOrFail(file, client, clientIdentifier);
    const auto good = testing::readBytes(file);
    for (std::size_t offset = content.size(); offset < good.size() - signatureTrailerSize; offset += 3) {
        auto bytes = good;
        bytes[offset] ^= 0x41;
        testing::writeBytes(file, bytes);
        const UniqueFd fd = openForReading(file);
        const auto code = readSignedCode(fd.get(), client.trustAnchor());
        if (code.ok()) {
            EXPECT_EQ(code.value().record.identifier, clientIdentifier) << "offset " << offset;
            EXPECT_EQ(code.value().facts.leafOrganizationalUnits, std::vector<std::string>{"QH4T7R2KZ5"})
                << "offset " << offset;
            EXPECT_TRUE(verifySignedContent(fd.get(), code.value()).ok()) << "offset " << offset;
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
    const TestIdentity foreign = testing::makeIdentity();
    const auto requirement = Requirement::parse(
        R"(anchor apple generic and certificate leaf[subject.OU] = "QH4T7R2KZ5")");
    const TestIdentity otherTeam = testing::makeSiblingIdentity(client, testing::leafRequest("ZZ9ZZ9ZZ9Z"));
    const std::pair<const TestIdentity*, CodeCheckResult> cases[] = {
        {nullptr, CodeCheckResult::invalid},  // unsigned
        {&foreign, CodeCheckResult::invalid},
        {&otherTeam, CodeCheckResult::notSatisfied},
        {&client, CodeCheckResult::satisfied},
    };
    for (const auto& [signer, expected] : cases) {
        ScratchDirectory scratch;
        const auto file = scratch.path() / "large";
        std::filesystem::resize_file((std::ofstream(file), file), contentSize);
        if (signer != nullptr) {
            testing::signOrFail(file, *signer, clientIdentifier);
        }
        const UniqueFd fd = openForReading(file);
        const std::uint64_t before = bytesReadSoFar();
        EXPECT_EQ(checkCode(fd.get(), client.trustAnchor(), requirement.value()).result, expected);
        const std::uint64_t read = bytesReadSoFar() - before;
        EXPECT_TRUE(expected == CodeCheckResult::satisfied ? read >= contentSize : read < 64U * 1024U)
            << "expected " << static_cast<int>(expected) << ", read " << read << " bytes";
    }
}

TEST(CodeSignatureTest, SigningRefusesIdentifiersThatCouldNotBeReadBack) {
    ScratchDirectory scratch;
    const auto file = scratch.path() / "data";
    testing::writeBytes(file, {1, 2, 3});
    const auto identity = testing::makeIdentity().signingIdentity();
    for (const std::string& identifier : {std::string(), std::string("line\nbreak"), std::string(1025, 'a')}) {
        EXPECT_FALSE(signFileAtPath(file, identity, identifier).ok()) << identifier;
    }
    EXPECT_EQ(testing::readBytes(file), (std::vector<std::uint8_t>{1, 2, 3}));
}

}  // namespace
}  // namespace tavelin
