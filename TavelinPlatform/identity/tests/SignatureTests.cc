#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "CodeVerifier.h"
#include "FileIo.h"
#include "IdentityTestSupport.h"
#include "PemFiles.h"
#include "SignatureBlock.h"

namespace tavelin {
namespace {

using testing::ScratchDirectory;
using testing::TestIdentity;

const std::string clientIdentifier = "de.morvane.Tavelin";
const std::string clientRequirement =
    R"(anchor apple generic and identifier "de.morvane.Tavelin" and certificate leaf[subject.OU] = "QH4T7R2KZ5")";

UniqueFd openForReading(const std::filesystem::path& path) {
    auto file = openFile(path, O_RDONLY);
    EXPECT_TRUE(file.ok()) << path;
    return file ? std::move(file).value() : UniqueFd{};
}

CodeCheck check(const std::filesystem::path& path, const TrustAnchor& anchor,
                const std::string& requirementText = clientRequirement) {
    const auto requirement = Requirement::parse(requirementText);
    EXPECT_TRUE(requirement.ok());
    return checkCode(openForReading(path).get(), anchor, requirement.value());
}

const char* resultName(CodeCheckResult result) {
    switch (result) {
        case CodeCheckResult::satisfied: return "satisfied";
        case CodeCheckResult::invalid: return "invalid";
        case CodeCheckResult::notSatisfied: return "notSatisfied";
    }
    return "?";
}

// Each case prepares `file` (a copy of the test peer) and answers the anchor to check it
// against; the shared client identity is the one that would be admitted.
struct Case {
    const char* name;
    std::function<TrustAnchor(const std::filesystem::path& file, const TestIdentity& client)> prepare;
    CodeCheckResult expected;
};

TrustAnchor signWith(const std::filesystem::path& file, const TestIdentity& identity,
                     const std::string& identifier = clientIdentifier) {
    testing::signOrFail(file, identity, identifier);
    return identity.trustAnchor();
}

TrustAnchor signWithLeaf(const std::filesystem::path& file, const CertificateRequest& leaf) {
    return signWith(file, testing::makeIdentity(leaf));
}

void mutateFile(const std::filesystem::path& file,
                const std::function<void(std::vector<std::uint8_t>&)>& change) {
    auto bytes = testing::readBytes(file);
    change(bytes);
    testing::writeBytes(file, bytes);
}

TEST(CodeSignatureTest, ChecksSignatureChainRequirementAndContent) {
    const Case cases[] = {
        {"signed by the client identity",
         [](auto& file, auto& client) { return signWith(file, client); }, CodeCheckResult::satisfied},
        {"through an intermediate",
         [](auto& file, auto&) {
             return signWith(file, testing::makeIdentity(testing::leafRequest(), true));
         },
         CodeCheckResult::satisfied},
        {"intermediate left out of the block",
         [](auto& file, auto&) {
             auto identity = testing::makeIdentity(testing::leafRequest(), true);
             auto signing = identity.signingIdentity();
             signing.chain.clear();
             EXPECT_TRUE(signFileAtPath(file, signing, clientIdentifier).ok());
             return identity.trustAnchor();
         },
         CodeCheckResult::invalid},
        {"another team",
         [](auto& file, auto&) { return signWithLeaf(file, testing::leafRequest("ZZ9ZZ9ZZ9Z")); },
         CodeCheckResult::notSatisfied},
        {"another identifier",
         [](auto& file, auto& client) { return signWith(file, client, "de.morvane.Other"); },
         CodeCheckResult::notSatisfied},
        {"another anchor",
         [](auto& file, auto& client) {
             signWith(file, client);
             return testing::makeIdentity().trustAnchor();
         },
         CodeCheckResult::invalid},
        {"one byte changed after signing",
         [](auto& file, auto& client) {
             auto anchor = signWith(file, client);
             mutateFile(file, [](auto& bytes) { bytes[testing::patchAreaOffset(bytes)] ^= 0x20; });
             return anchor;
         },
         CodeCheckResult::invalid},
        {"unsigned", [](auto&, auto& client) { return client.trustAnchor(); },
         CodeCheckResult::invalid},
        {"block cut short behind an intact trailer",
         [](auto& file, auto& client) {
             auto anchor = signWith(file, client);
             mutateFile(file, [](auto& bytes) {
                 bytes.erase(bytes.end() - signatureTrailerSize - 40, bytes.end() - signatureTrailerSize);
             });
             return anchor;
         },
         CodeCheckResult::invalid},
        {"trailer cut off",
         [](auto& file, auto& client) {
             auto anchor = signWith(file, client);
             mutateFile(file, [](auto& bytes) { bytes.resize(bytes.size() - 3); });
             return anchor;
         },
         CodeCheckResult::invalid},
        {"bytes appended after the trailer",
         [](auto& file, auto& client) {
             auto anchor = signWith(file, client);
             mutateFile(file, [](auto& bytes) { bytes.push_back(0); });
             return anchor;
         },
         CodeCheckResult::invalid},
        {"bytes inserted before the block",
         [](auto& file, auto& client) {
             auto anchor = signWith(file, client);
             auto layout = SignatureLayout{};
             {
                 const UniqueFd fd = openForReading(file);
                 layout = *locateSignatureBlock(fd.get()).value();
             }
             mutateFile(file, [&](auto& bytes) {
                 bytes.insert(bytes.begin() + static_cast<long>(layout.contentLength), 7, 0);
             });
             return anchor;
         },
         CodeCheckResult::invalid},
        {"expired leaf",
         [](auto& file, auto&) {
             auto leaf = testing::leafRequest();
             leaf.notBeforeOffset = -7200;
             leaf.notAfterOffset = -3600;
             return signWithLeaf(file, leaf);
         },
         CodeCheckResult::invalid},
        {"leaf not yet valid",
         [](auto& file, auto&) {
             auto leaf = testing::leafRequest();
             leaf.notBeforeOffset = 3600;
             return signWithLeaf(file, leaf);
         },
         CodeCheckResult::invalid},
        {"leaf for e-mail protection only",
         [](auto& file, auto&) {
             auto leaf = testing::leafRequest();
             leaf.extendedKeyUsage = "emailProtection";
             return signWithLeaf(file, leaf);
         },
         CodeCheckResult::invalid},
        {"leaf without extended key usage",
         [](auto& file, auto&) {
             auto leaf = testing::leafRequest();
             leaf.extendedKeyUsage.clear();
             return signWithLeaf(file, leaf);
         },
         CodeCheckResult::invalid},
    };
    const TestIdentity client = testing::makeIdentity();
    for (const auto& testCase : cases) {
        ScratchDirectory scratch;
        const auto file = scratch.path() / "peer";
        testing::copyTestPeer(file);
        const TrustAnchor anchor = testCase.prepare(file, client);
        const CodeCheck result = check(file, anchor);
        EXPECT_EQ(result.result, testCase.expected)
            << testCase.name << ": got " << resultName(result.result) << " (" << result.detail << ")";
    }
}

TEST(CodeSignatureTest, ReSigningReplacesTheBlockAndKeepsTheContent) {
    ScratchDirectory scratch;
    const auto file = scratch.path() / "peer";
    testing::copyTestPeer(file);
    const auto original = testing::readBytes(file);
    const TestIdentity first = testing::makeIdentity(testing::leafRequest("FIRSTTEAM1"), true);
    const TestIdentity second = testing::makeIdentity(testing::leafRequest("QH4T7R2KZ5"));

    testing::signOrFail(file, first, "de.morvane.First");
    const auto afterFirst = testing::readBytes(file);
    testing::signOrFail(file, second, clientIdentifier);
    testing::signOrFail(file, second, clientIdentifier);  // idempotent, as a POST_BUILD step is
    const auto afterSecond = testing::readBytes(file);

    const UniqueFd fd = openForReading(file);
    const auto layout = locateSignatureBlock(fd.get());
    ASSERT_TRUE(layout.ok() && layout.value().has_value());
    EXPECT_EQ(layout.value()->contentLength, original.size());
    EXPECT_EQ(afterSecond.size(), original.size() + layout.value()->blockLength + signatureTrailerSize);
    EXPECT_GT(afterFirst.size(), afterSecond.size()) << "the longer first block must be cut away";
    EXPECT_TRUE(std::equal(original.begin(), original.end(), afterSecond.begin()));

    EXPECT_EQ(check(file, second.trustAnchor()).result, CodeCheckResult::satisfied);
    EXPECT_EQ(check(file, first.trustAnchor()).result, CodeCheckResult::invalid);
    const auto code = readSignedCode(fd.get(), second.trustAnchor());
    ASSERT_TRUE(code.ok()) << code.error().message;
    EXPECT_EQ(code.value().record.identifier, clientIdentifier);
    EXPECT_NE(code.value().leafSubject.find("OU=QH4T7R2KZ5"), std::string::npos) << code.value().leafSubject;
}

TEST(CodeSignatureTest, DamagedTrailersAndBlocksNeverCrashOrForgeAnIdentity) {
    ScratchDirectory scratch;
    const auto file = scratch.path() / "data";
    const TestIdentity client = testing::makeIdentity();
    const std::vector<std::uint8_t> content(300, 0x5A);
    auto trailerWith = [](std::uint64_t length) {
        std::vector<std::uint8_t> bytes(64, 1);
        const auto trailer = encodeSignatureTrailer(length);
        bytes.insert(bytes.end(), trailer.begin(), trailer.end());
        return bytes;
    };
    const std::vector<std::vector<std::uint8_t>> hostile = {
        {},
        {'T', 'V', 'L', 'C', 'S', 'I', 'G', '1'},
        trailerWith(0),
        trailerWith(65),
        trailerWith(64),  // the 64 filler bytes as a "block"
        trailerWith(maximumSignatureBlockSize + 1),
        trailerWith(~0ULL),
        trailerWith(~0ULL - 15),
    };
    for (const auto& bytes : hostile) {
        testing::writeBytes(file, bytes);
        const UniqueFd fd = openForReading(file);
        EXPECT_FALSE(readSignedCode(fd.get(), client.trustAnchor()).ok()) << "size " << bytes.size();
    }

    // Every single-byte change of a good block either is refused or leaves the signed
    // identity exactly as it was.
    testing::writeBytes(file, content);
    testing::signOrFail(file, client, clientIdentifier);
    const auto good = testing::readBytes(file);
    const std::size_t blockEnd = good.size() - signatureTrailerSize;
    for (std::size_t offset = content.size(); offset < blockEnd; offset += 3) {
        auto bytes = good;
        bytes[offset] ^= 0x41;
        testing::writeBytes(file, bytes);
        const UniqueFd fd = openForReading(file);
        const auto code = readSignedCode(fd.get(), client.trustAnchor());
        if (code.ok()) {
            EXPECT_EQ(code.value().record.identifier, clientIdentifier) << "offset " << offset;
            EXPECT_EQ(code.value().facts.leafOrganizationalUnits,
                      std::vector<std::string>{"QH4T7R2KZ5"}) << "offset " << offset;
            EXPECT_TRUE(verifySignedContent(fd.get(), code.value()).ok()) << "offset " << offset;
        }
    }
}

// Bytes this process has read so far, as the kernel counts them (rchar in /proc/self/io).
std::uint64_t bytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") {
            return value;
        }
    }
    ADD_FAILURE() << "no rchar in /proc/self/io";
    return 0;
}

TEST(CodeSignatureTest, RefusedCodeIsNeverHashed) {
    constexpr std::uint64_t contentSize = std::uint64_t{32} * 1024 * 1024;
    const TestIdentity client = testing::makeIdentity();
    const TestIdentity foreign = testing::makeIdentity();
    const TestIdentity otherTeam = testing::makeSiblingIdentity(client, testing::leafRequest("ZZ9ZZ9ZZ9Z"));
    struct ReadCase {
        const char* name;
        const TestIdentity* signer;  // null: unsigned
        CodeCheckResult expected;
    };
    const ReadCase cases[] = {
        {"unsigned", nullptr, CodeCheckResult::invalid},
        {"foreign anchor", &foreign, CodeCheckResult::invalid},
        {"another team", &otherTeam, CodeCheckResult::notSatisfied},
        {"the client", &client, CodeCheckResult::satisfied},
    };
    for (const auto& testCase : cases) {
        ScratchDirectory scratch;
        const auto file = scratch.path() / "large";
        {
            auto created = openFile(file, O_WRONLY | O_CREAT | O_TRUNC);
            ASSERT_TRUE(created.ok());
            ASSERT_EQ(::ftruncate(created.value().get(), static_cast<off_t>(contentSize)), 0);
        }
        if (testCase.signer != nullptr) {
            testing::signOrFail(file, *testCase.signer, clientIdentifier);
        }
        const UniqueFd fd = openForReading(file);
        const auto requirement = Requirement::parse(clientRequirement);
        const std::uint64_t before = bytesReadSoFar();
        const CodeCheck result = checkCode(fd.get(), client.trustAnchor(), requirement.value());
        const std::uint64_t read = bytesReadSoFar() - before;
        EXPECT_EQ(result.result, testCase.expected) << testCase.name << ": " << result.detail;
        if (testCase.expected == CodeCheckResult::satisfied) {
            EXPECT_GE(read, contentSize) << testCase.name;
        } else {
            EXPECT_LT(read, 64U * 1024U) << testCase.name << " read " << read << " bytes";
        }
    }
}

TEST(CodeSignatureTest, SigningRefusesBadInput) {
    ScratchDirectory scratch;
    const TestIdentity client = testing::makeIdentity();
    const TestIdentity other = testing::makeIdentity();
    const auto file = scratch.path() / "data";
    testing::writeBytes(file, {1, 2, 3});
    EXPECT_FALSE(signFileAtPath(scratch.path() / "missing", client.signingIdentity(), "x").ok());
    EXPECT_FALSE(signFileAtPath(file, client.signingIdentity(), "").ok());
    EXPECT_FALSE(signFileAtPath(file, client.signingIdentity(), "line\nbreak").ok());
    EXPECT_FALSE(signFileAtPath(file, client.signingIdentity(), std::string(1025, 'a')).ok());
    EXPECT_EQ(testing::readBytes(file), (std::vector<std::uint8_t>{1, 2, 3}));

    // A key that does not belong to the certificate is caught when the identity is loaded.
    ASSERT_TRUE(writeCertificatePem((scratch.path() / "leaf.pem").string(), client.leaf.certificate.get()).ok());
    ASSERT_TRUE(writePrivateKeyPem((scratch.path() / "key.pem").string(), other.leaf.key.get()).ok());
    testing::writeBytes(scratch.path() / "garbage.pem", {'n', 'o', 'p', 'e'});
    EXPECT_FALSE(loadSigningIdentity((scratch.path() / "key.pem").string(),
                                     (scratch.path() / "leaf.pem").string()).ok());
    EXPECT_FALSE(loadSigningIdentity((scratch.path() / "garbage.pem").string(),
                                     (scratch.path() / "leaf.pem").string()).ok());
    EXPECT_FALSE(TrustAnchor::loadFromFile((scratch.path() / "garbage.pem").string()).ok());
}

}  // namespace
}  // namespace tavelin
