#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "ClientVerification.h"
#include "IdentityTestSupport.h"
#include "LogSink.h"
#include "SignatureBlock.h"
#include "TavelinShared/PrivilegedHelperInfo.h"

namespace tavelin {
namespace {

using testing::AbstractListener;
using testing::ScratchDirectory;
using testing::TestIdentity;

const std::string noCodeLine = "[TavelinHelper] Kein SecCode zum Audit-Token ermittelbar.";
const std::string invalidRequirementLine =
    "[TavelinHelper] Ungültiges Code-Requirement (Team-ID konfiguriert?).";
const std::string notSatisfiedLine = "[TavelinHelper] Client-Signatur erfüllt das Requirement nicht.";

const std::string clientIdentifier(PrivilegedHelperInfo::clientBundleIdentifier);

struct Case {
    const char* name;
    // Prepares the copy of the test peer at `file`; answers the anchor to verify against.
    std::function<TrustAnchor(const std::filesystem::path& file, const TestIdentity& client)> prepare;
    long expectedCode;
    bool traced = false;
    std::string requirement = PrivilegedHelperInfo::clientCodeRequirement();
};

TrustAnchor signedBy(const std::filesystem::path& file, const TestIdentity& identity,
                     const std::string& identifier = clientIdentifier) {
    testing::signOrFail(file, identity, identifier);
    return identity.trustAnchor();
}

TrustAnchor signedByLeaf(const std::filesystem::path& file, const CertificateRequest& leaf) {
    return signedBy(file, testing::makeIdentity(leaf));
}

std::string expectedLine(long code) {
    switch (code) {
        case 1: return noCodeLine;
        case 2: return invalidRequirementLine;
        case 3: return notSatisfiedLine;
        default: return {};
    }
}

TEST(ClientVerificationTest, AdmitsOnlyTheSignedClientOverARealConnection) {
    const Case cases[] = {
        {"client identity", [](auto& f, auto& c) { return signedBy(f, c); }, 0},
        {"another team under the same anchor",
         [](auto& f, auto& c) {
             signedBy(f, testing::makeSiblingIdentity(c, testing::leafRequest("ZZ9ZZ9ZZ9Z")));
             return c.trustAnchor();
         },
         3},
        {"another team under its own anchor",
         [](auto& f, auto&) { return signedByLeaf(f, testing::leafRequest("ZZ9ZZ9ZZ9Z")); }, 3},
        {"another identifier",
         [](auto& f, auto& c) { return signedBy(f, c, "de.morvane.Tavelin.Evil"); }, 3},
        {"another anchor",
         [](auto& f, auto& c) {
             signedBy(f, c);
             return testing::makeIdentity().trustAnchor();
         },
         3},
        {"one byte changed after signing",
         [](auto& f, auto& c) {
             auto anchor = signedBy(f, c);
             auto bytes = testing::readBytes(f);
             bytes[testing::patchAreaOffset(bytes)] ^= 0x01;
             testing::writeBytes(f, bytes);
             return anchor;
         },
         3},
        {"unsigned", [](auto&, auto& c) { return c.trustAnchor(); }, 3},
        {"truncated block",
         [](auto& f, auto& c) {
             auto anchor = signedBy(f, c);
             auto bytes = testing::readBytes(f);
             bytes.erase(bytes.end() - signatureTrailerSize - 100, bytes.end() - signatureTrailerSize);
             testing::writeBytes(f, bytes);
             return anchor;
         },
         3},
        {"expired leaf",
         [](auto& f, auto&) {
             auto leaf = testing::leafRequest();
             leaf.notBeforeOffset = -86400;
             leaf.notAfterOffset = -60;
             return signedByLeaf(f, leaf);
         },
         3},
        {"leaf without code signing",
         [](auto& f, auto&) {
             auto leaf = testing::leafRequest();
             leaf.extendedKeyUsage = "emailProtection,clientAuth";
             return signedByLeaf(f, leaf);
         },
         3},
        {"traced client", [](auto& f, auto& c) { return signedBy(f, c); }, 3, true},
        {"requirement that does not parse", [](auto& f, auto& c) { return signedBy(f, c); }, 2, false,
         "anchor apple generic and identifier de.morvane.Tavelin"},
        {"unparsable requirement, unsigned peer", [](auto&, auto& c) { return c.trustAnchor(); }, 2,
         false, "identifier \"x\" and"},
    };
    const TestIdentity client = testing::makeIdentity();
    AbstractListener listener;
    for (const auto& testCase : cases) {
        ScratchDirectory scratch;
        const auto file = scratch.path() / "Tavelin";
        testing::copyTestPeer(file);
        const TrustAnchor anchor = testCase.prepare(file, client);
        auto connected = testing::connectPeer(file, listener, testCase.traced);
        ASSERT_TRUE(connected.peer.has_value()) << testCase.name;

        EXPECT_EQ(TVLVerifyXPCClient(&*connected.peer, testCase.requirement, anchor), testCase.expectedCode)
            << testCase.name;
        CapturingLogSink log;
        EXPECT_EQ(isClientAuthorized(&*connected.peer, testCase.requirement, anchor, log),
                  testCase.expectedCode == 0)
            << testCase.name;
        const std::vector<std::string> expected =
            testCase.expectedCode == 0 ? std::vector<std::string>{}
                                       : std::vector<std::string>{expectedLine(testCase.expectedCode)};
        EXPECT_EQ(log.lines(), expected) << testCase.name;
    }
}

TEST(ClientVerificationTest, AnUnresolvablePeerGivesOneWhateverTheRequirement) {
    const TestIdentity client = testing::makeIdentity();
    ScratchDirectory scratch;
    const auto file = scratch.path() / "Tavelin";
    testing::copyTestPeer(file);
    testing::signOrFail(file, client, clientIdentifier);
    AbstractListener listener;
    auto exited = testing::connectPeer(file, listener);
    ASSERT_TRUE(exited.peer.has_value());
    exited.child->stop();

    const PeerProcess* exitedPeer = &*exited.peer;
    for (const std::string& requirement : {PrivilegedHelperInfo::clientCodeRequirement(),
                                           std::string("not a requirement")}) {
        for (const PeerProcess* peer : {static_cast<const PeerProcess*>(nullptr), exitedPeer}) {
            EXPECT_EQ(TVLVerifyXPCClient(peer, requirement, client.trustAnchor()), 1)
                << requirement << (peer ? " exited peer" : " no connection");
            CapturingLogSink log;
            EXPECT_FALSE(isClientAuthorized(peer, requirement, client.trustAnchor(), log));
            EXPECT_EQ(log.lines(), std::vector<std::string>{noCodeLine});
        }
    }
}

TEST(ClientVerificationTest, ThePeerSeizedAfterConnectingIsRefused) {
    const TestIdentity client = testing::makeIdentity();
    ScratchDirectory scratch;
    const auto file = scratch.path() / "Tavelin";
    testing::copyTestPeer(file);
    testing::signOrFail(file, client, clientIdentifier);
    AbstractListener listener;
    auto connected = testing::connectPeer(file, listener);
    ASSERT_TRUE(connected.peer.has_value());
    const auto requirement = PrivilegedHelperInfo::clientCodeRequirement();
    EXPECT_EQ(TVLVerifyXPCClient(&*connected.peer, requirement, client.trustAnchor()), 0);
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, connected.child->pid(), nullptr, nullptr), 0);
    EXPECT_EQ(TVLVerifyXPCClient(&*connected.peer, requirement, client.trustAnchor()), 3);
}

TEST(ClientVerificationTest, TheDaemonRequirementAndTheBuildAnchorAdmitTheDevelopmentIdentity) {
    // The build's own identity, as tavelin_sign_executable uses it.
    EXPECT_EQ(platformTrustAnchorPath(), std::string_view(TAVELIN_PLATFORM_TRUST_ANCHOR));
    const auto anchor = loadPlatformTrustAnchor();
    ASSERT_TRUE(anchor.ok()) << anchor.error().message;
    auto signing = loadSigningIdentity(TAVELIN_DEVELOPMENT_LEAF_KEY, TAVELIN_DEVELOPMENT_LEAF);
    if (!signing) {
        GTEST_SKIP() << "packaging build without the development identity";
    }
    ScratchDirectory scratch;
    const auto file = scratch.path() / "Tavelin";
    testing::copyTestPeer(file);
    ASSERT_TRUE(signFileAtPath(file, signing.value(), clientIdentifier).ok());
    AbstractListener listener;
    auto connected = testing::connectPeer(file, listener);
    ASSERT_TRUE(connected.peer.has_value());
    CapturingLogSink log;
    EXPECT_TRUE(isClientAuthorized(&*connected.peer, anchor.value(), log));
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace tavelin
