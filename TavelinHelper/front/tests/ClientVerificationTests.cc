#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "TavelinHelper/front/ClientAuthorization.h"
#include "TavelinHelper/front/ClientVerification.h"
#include "TavelinHelper/front/tests/ReadHook.h"
#include "TavelinPlatform/core/LogSink.h"
#include "TavelinPlatform/core/tests/CapturingLogSink.h"
#include "TavelinPlatform/identity/SignatureBlock.h"
#include "TavelinPlatform/identity/tests/IdentityTestSupport.h"
#include "TavelinShared/PrivilegedHelperInfo.h"

namespace tavelin {
namespace {

using testing::readHook;

const std::vector<std::string> linesOfCode[] = {
    // the log lines of the codes 0 to 3
    {},
    {"[TavelinHelper] Kein SecCode zum Audit-Token ermittelbar."},
    {"[TavelinHelper] Ungültiges Code-Requirement (Team-ID konfiguriert?)."},
    {"[TavelinHelper] Client-Signatur erfüllt das Requirement nicht."},
};
const std::string clientIdentifier(PrivilegedHelperInfo::clientBundleIdentifier);
const std::string badRequirement = "anchor apple generic and identifier de.morvane.Tavelin";

// What happens to the signed copy of the test peer before it is started.
// groupWritable and ownedByNobody leave the signature intact but make the file one that
// others could have written: code the daemon does not vouch for.
enum class Change {
    none,
    unsign,
    flipByte,
    cutBlock,
    insertBeforeBlock,
    groupWritable,
    ownedByNobody
};
// A reused pid: the pidfd of the exited peer with the pid of a live process (this one).
// None: the connection has no peer record at all. execsWhileHashed: the peer execs another
// program when the check starts to read the content it hashes. tracedUntilHashed: traced
// when the check first looks, let go when the hash starts, so the look after it sees none.
enum class Peer {
    running,
    traced,
    exited,
    reused,
    withoutPidfd,
    none,
    execsWhileHashed,
    tracedUntilHashed
};

struct Scenario {
    // Issued under the client's anchor, or under the intermediate when there is one.
    CertificateRequest leaf = testing::leafRequest();
    std::optional<CertificateRequest> intermediate = std::nullopt;  // under the anchor
    std::string identifier = clientIdentifier;
    Change change = Change::none;
    bool foreignAnchor = false;  // verified against an anchor that issued nothing here
    Peer peer = Peer::running;
    std::string requirement = PrivilegedHelperInfo::clientCodeRequirement();
};

CertificateRequest leafWith(long notAfter, const std::string& usage = "codeSigning") {
    auto leaf = testing::leafRequest();
    leaf.notAfterOffset = notAfter;  // it is valid from five minutes ago on
    leaf.extendedKeyUsage = usage;
    return leaf;
}

CertificateRequest leafWithKeyUsage(const std::string& usage) {
    auto leaf = testing::leafRequest();
    leaf.keyUsage = usage;
    return leaf;
}

CertificateRequest intermediateWith(const std::string& extendedKeyUsage) {
    auto intermediate = testing::intermediateRequest();
    intermediate.extendedKeyUsage = extendedKeyUsage;
    return intermediate;
}

// Sets readHook so that `action` runs as soon as the check reads the start of `file`, the
// first thing the hash reads; the read goes on once the action is done.
void whenHashingStarts(const std::filesystem::path& file, const std::function<void()>& action) {
    struct stat signedFile {};
    ASSERT_EQ(::stat(file.c_str(), &signedFile), 0);
    readHook = [action, signedFile](int fd, off_t offset) {
        struct stat read {};
        if (offset != 0 || ::fstat(fd, &read) != 0 || read.st_dev != signedFile.st_dev ||
            read.st_ino != signedFile.st_ino) {
            return false;
        }
        action();
        return true;
    };
}

// Traces the peer from now on until the check starts to hash `file`. Only a stopped tracee
// can be let go, so the tracer interrupts it first.
void traceUntilHashingStarts(pid_t peer, const std::filesystem::path& file) {
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, peer, nullptr, nullptr), 0) << std::strerror(errno);
    whenHashingStarts(file, [peer] {
        int status = 0;
        EXPECT_EQ(::ptrace(PTRACE_INTERRUPT, peer, nullptr, nullptr), 0) << std::strerror(errno);
        EXPECT_EQ(::waitpid(peer, &status, __WALL), peer) << std::strerror(errno);
        EXPECT_EQ(::ptrace(PTRACE_DETACH, peer, nullptr, nullptr), 0) << std::strerror(errno);
    });
}

void change(std::vector<std::uint8_t>& bytes, Change how, std::uintmax_t contentLength) {
    const auto blockEnd = bytes.end() - signatureTrailerSize;
    switch (how) {
        case Change::flipByte:
            bytes[testing::patchAreaOffset(bytes)] ^= 0x01;
            break;
        case Change::cutBlock:
            bytes.erase(blockEnd - 100, blockEnd);
            break;
        case Change::insertBeforeBlock:
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(contentLength), 7, 0);
            break;
        default:
            break;
    }
}

TEST(ClientVerificationTest, AdmitsOnlyTheSignedClientOverARealConnection) {
    const std::tuple<const char*, long, const char*, Scenario> cases[] = {
        {"client identity", 0, "", {}},
        {"another team under the same anchor",
         3,
         "requirement-not-met",
         {.leaf = testing::leafRequest("ZZ9ZZ9ZZ9Z")}},
        {"another identifier", 3, "requirement-not-met", {.identifier = "de.morvane.Tavelin.Evil"}},
        {"another anchor", 3, "untrusted-signer", {.foreignAnchor = true}},
        {"unsigned", 3, "unsigned", {.change = Change::unsign}},
        {"one byte changed after signing", 3, "altered", {.change = Change::flipByte}},
        {"truncated block", 3, "bad-signature", {.change = Change::cutBlock}},
        {"bytes inserted before the block", 3, "altered", {.change = Change::insertBeforeBlock}},
        {"signed file writable by its group",
         3,
         "executable-not-trusted",
         {.change = Change::groupWritable}},
        {"signed file owned by another user",
         3,
         "executable-not-trusted",
         {.change = Change::ownedByNobody}},
        {"expired leaf", 3, "untrusted-signer", {.leaf = leafWith(-60)}},
        {"leaf for e-mail and clients",
         3,
         "untrusted-signer",
         {.leaf = leafWith(3600, "emailProtection,clientAuth")}},
        {"leaf without extended key usage", 3, "untrusted-signer", {.leaf = leafWith(3600, "")}},
        {"leaf whose key usage lacks digitalSignature",
         3,
         "untrusted-signer",
         {.leaf = leafWithKeyUsage("critical,nonRepudiation")}},
        {"intermediate for code signing", 0, "", {.intermediate = intermediateWith("codeSigning")}},
        {"intermediate for e-mail only",
         3,
         "untrusted-signer",
         {.intermediate = intermediateWith("emailProtection")}},
        {"traced client", 3, "traced", {.peer = Peer::traced}},
        {"client that execs another program while it is hashed",
         3,
         "executable-changed",
         {.peer = Peer::execsWhileHashed}},
        {"client whose tracer lets go while it is hashed",
         3,
         "traced",
         {.peer = Peer::tracedUntilHashed}},
        {"requirement that does not parse",
         2,
         "requirement-invalid",
         {.requirement = badRequirement}},
        {"unparsable requirement, unsigned",
         2,
         "requirement-invalid",
         {.change = Change::unsign, .requirement = badRequirement}},
        {"exited peer", 1, "peer-gone", {.peer = Peer::exited}},
        {"exited peer, unparsable requirement",
         1,
         "peer-gone",
         {.peer = Peer::exited, .requirement = badRequirement}},
        {"pid reused by another process", 1, "peer-gone", {.peer = Peer::reused}},
        {"record without a pidfd", 1, "peer-gone", {.peer = Peer::withoutPidfd}},
        {"no record, unparsable requirement",
         1,
         "peer-gone",
         {.peer = Peer::none, .requirement = badRequirement}},
    };
    const testing::TestIdentity client = testing::makeIdentity();
    const TrustAnchor clientAnchor = client.trustAnchor();
    const TrustAnchor foreignAnchor = testing::makeIdentity().trustAnchor();
    // Code in files of root or of whoever runs the test is trusted, as a development
    // build trusts its developer.
    const CodeTrust trust = CodeTrust::ofThisProcess(::getuid()).value();
    for (const auto& [name, expected, reason, c] : cases) {
        const testing::ScratchDirectory scratch;
        const auto file = scratch.path() / "Tavelin";
        testing::copyTestPeer(file);
        const auto contentLength = std::filesystem::file_size(file);
        if (c.change != Change::unsign) {
            testing::signOrFail(file, testing::makeSiblingIdentity(client, c.leaf, c.intermediate),
                                c.identifier);
        }
        auto bytes = testing::readBytes(file);
        change(bytes, c.change, contentLength);
        testing::writeBytes(file, bytes);
        if (c.change == Change::groupWritable) {
            std::filesystem::permissions(file, std::filesystem::perms::group_write,
                                         std::filesystem::perm_options::add);
        } else if (c.change == Change::ownedByNobody) {
            if (::geteuid() != 0) {
                continue;  // only root can give a file away
            }
            ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
        }
        const bool execs = c.peer == Peer::execsWhileHashed;
        testing::ConnectedPeer connected(file, execs ? std::vector<std::string>{"/bin/sleep", "600"}
                                                     : std::vector<std::string>{});
        PeerProcess* peer = connected.peer();
        ASSERT_NE(peer, nullptr) << name;
        if (c.peer == Peer::traced) {
            ASSERT_EQ(::ptrace(PTRACE_SEIZE, connected.pid(), nullptr, nullptr), 0);
        } else if (c.peer == Peer::withoutPidfd) {
            peer->pidfd.reset();
        } else if (execs) {
            whenHashingStarts(file, [&connected] { connected.execRequested(); });
        } else if (c.peer == Peer::tracedUntilHashed) {
            traceUntilHashingStarts(connected.pid(), file);
        } else if (c.peer != Peer::running) {
            connected.stop();
        }
        PeerProcess reused{UniqueFd{}, ::getpid(), peer->uid, peer->gid};
        if (c.peer == Peer::reused) {
            reused.pidfd = std::move(peer->pidfd);
            peer = &reused;
        }
        LocalPeerInspector inspector(*peer, trust);
        PeerInspector* inspected = c.peer == Peer::none ? nullptr : &inspector;
        const TrustAnchor& anchor = c.foreignAnchor ? foreignAnchor : clientAnchor;
        const ClientVerdict verdict = verifyClient(inspected, c.requirement, anchor);
        EXPECT_EQ(verdict.code, expected) << name;
        EXPECT_EQ(refusalReasonName(verdict.reason), reason) << name;
        EXPECT_FALSE(execs && readHook)
            << name << ": the peer was to exec, but the content was never read";
        if (c.peer == Peer::tracedUntilHashed && !readHook) {
            traceUntilHashingStarts(connected.pid(), file);  // the same again for the second
        }
        CapturingLogSink log;
        EXPECT_EQ(isClientAuthorized(inspected, c.requirement, anchor, log), expected == 0);
        EXPECT_EQ(log.lines(), linesOfCode[expected]) << name;
        readHook = nullptr;  // a refusal before the hash leaves it set
    }
}

}  // namespace
}  // namespace tavelin
