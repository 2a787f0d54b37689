// The real daemon binary and real client processes: what a user of tavelinctl sees, and
// what the daemon writes to its log meanwhile.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EndToEndSupport.h"
#include "SignedCopies.h"
#include "TavelinShared/PrivilegedResult.h"
#include "UnixSocket.h"

namespace tavelin::e2e {
namespace {

using DaemonEndToEndTest = DaemonTest;

const std::string removalAudit = "[TavelinHelper] perform: System-Pfade entfernen (1 Eintr\u00e4ge)";

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

TEST_F(DaemonEndToEndTest, SignedClientGetsTheVersionAndRealResults) {
    const ClientOutcome version = tavelinctl({"version"});
    EXPECT_EQ(version.exitStatus, 0) << version.err;
    EXPECT_EQ(version.out, "0.0.1\n");
    EXPECT_EQ(version.err, "");

    const CacheSandbox sandbox;
    if (!sandbox.available()) {
        GTEST_SKIP() << "needs root to create a folder below /Library/Caches";
    }
    const std::string victim = sandbox.item("victim");
    std::filesystem::create_directories(victim + "/inner");
    writeFile(victim + "/inner/b.cache", 50000);
    const std::string repaired = sandbox.item("repaired");
    writeFile(repaired, 10);
    ASSERT_EQ(::chmod(repaired.c_str(), 0600), 0);
    const ScratchDirectory outside;
    const std::string refused = outside.file("not-below-an-allowed-folder");
    writeFile(refused, 10);

    const struct {
        std::vector<std::string> arguments;
        int exitStatus;
        std::string outputPrefix;
    } cases[] = {
        {{"remove", victim}, 0, "1 Pfade entfernt ("},
        {{"remove", refused}, 0, "0 Pfade entfernt, 1 durch Policy abgelehnt (0 Bytes freigegeben)"},
        {{"repair", repaired}, 0, "Rechte gesetzt: " + repaired},
        {{"update"}, 1, ""},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.arguments.back());
        const ClientOutcome outcome = tavelinctl(testCase.arguments);
        EXPECT_EQ(outcome.exitStatus, testCase.exitStatus) << outcome.out << outcome.err;
        EXPECT_EQ(outcome.out.rfind(testCase.outputPrefix, 0), 0U) << outcome.out;
    }
    EXPECT_FALSE(exists(victim));
    EXPECT_TRUE(exists(refused));
    struct stat status {};
    ASSERT_EQ(::stat(repaired.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755U);
    // The removal was announced before it ran and logged with its measured size after.
    const std::vector<std::string> log = daemonProcess->lines();
    const auto audit = std::find(log.begin(), log.end(), removalAudit);
    ASSERT_TRUE(audit != log.end() && audit + 1 != log.end());
    EXPECT_EQ((audit + 1)->rfind("[TavelinHelper] removed " + victim + " (", 0), 0U) << *(audit + 1);
}

TEST_F(DaemonEndToEndTest, ForeignCodeIsRefusedWithTheReasonThenTheRefusalLine) {
    const ScratchDirectory scratch;
    const std::string unsignedCopy = scratch.file("tavelinctl-unsigned");
    const std::string otherTeam = scratch.file("tavelinctl-other-team");
    ASSERT_EQ(makeUnsignedCopy(tavelinctlPath, unsignedCopy), "");
    ASSERT_EQ(makeCopySignedUnderDevelopmentAnchor(tavelinctlPath, otherTeam,
                                                   developmentIdentityDirectory, "ZZ9X8Y7W6V",
                                                   "de.morvane.Tavelin"),
              "");
    for (const std::string& program : {unsignedCopy, otherTeam}) {
        SCOPED_TRACE(program);
        const std::size_t before = daemonProcess->lines().size();
        const ClientOutcome outcome = runClient(program, {"version"}, daemonProcess->serviceName());
        EXPECT_EQ(outcome.exitStatus, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find("refused the connection"), std::string::npos) << outcome.err;
        const std::string refusal = refusalLine(outcome.pid);
        daemonProcess->waitForLines([&](const std::string& line) { return line == refusal; });
        EXPECT_EQ(linesAfter(before), (std::vector<std::string>{refusalReasonLine, refusal}));
    }
    EXPECT_EQ(tavelinctl({"version"}).out, "0.0.1\n");  // refusals disturb nobody
}

TEST_F(DaemonEndToEndTest, UndecodableRequestsAreAnsweredAsInvalidAndNeverLogged) {
    const std::size_t before = daemonProcess->lines().size();
    const std::string invalid = *PrivilegedResult(false, "Ung\u00fcltige Operation", 0).encode() + "\n";
    for (const std::string& request :
         {std::string(), std::string("not json"), std::string(R"({"repairPermissions":{"path":null}})"),
          std::string("{\"removeSystemPaths\":{\"_0\":[\"\xff\"]}}")}) {
        SCOPED_TRACE(request);
        const ClientOutcome outcome = tavelinctl({"perform", request});
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
        EXPECT_EQ(outcome.out, invalid);
    }
    // A request that does decode is logged; none of those before it was.
    const std::string audit = "[TavelinHelper] perform: System-Pfade entfernen (0 Eintr\u00e4ge)";
    EXPECT_EQ(tavelinctl({"perform", R"({"removeSystemPaths":{"_0":[]}})"}).exitStatus, 0);
    daemonProcess->waitForLines([&](const std::string& line) { return line == audit; });
    EXPECT_EQ(linesAfter(before), std::vector<std::string>{audit});
}

TEST_F(DaemonEndToEndTest, ClientVanishingMidCallLeavesTheDaemonServing) {
    const CacheSandbox sandbox;
    if (!sandbox.available()) {
        GTEST_SKIP() << "needs root to create a folder below /Library/Caches";
    }
    // A tree big enough that removing it takes a while after the audit line.
    const std::string tree = sandbox.item("tree");
    for (int folder = 0; folder < 100; ++folder) {
        std::filesystem::create_directories(tree + "/" + std::to_string(folder));
        for (int file = 0; file < 100; ++file) {
            writeFile(tree + "/" + std::to_string(folder) + "/" + std::to_string(file), 1);
        }
    }
    ClientProcess client(tavelinctlPath, {"remove", tree}, daemonProcess->serviceName());
    ASSERT_GT(client.pid(), 0) << client.whyNot();
    daemonProcess->waitForLines([](const std::string& line) { return line == removalAudit; });
    client.kill(SIGKILL);
    EXPECT_EQ(client.finish().exitStatus, 128 + SIGKILL);
    // The operation runs to its end, its reply goes nowhere, and the daemon lives on.
    daemonProcess->waitForLines([&](const std::string& line) {
        return line.rfind("[TavelinHelper] removed " + tree + " (", 0) == 0;
    });
    EXPECT_FALSE(exists(tree));
    EXPECT_EQ(tavelinctl({"version"}).out, "0.0.1\n");
}

// Five hundred connections at once from signed and unsigned peers: every one is handled,
// every admitted call answered exactly once, every refusal logged, and the daemon serves on.
TEST_F(DaemonEndToEndTest, FiveHundredConnectionsAtOnceAreAllHandled) {
    const ScratchDirectory scratch;
    const std::string unsignedPeer = scratch.file("peer-unsigned");
    ASSERT_EQ(makeUnsignedCopy(peerPath, unsignedPeer), "");
    constexpr int perSigned = 60;    // 5 signed peers
    constexpr int perUnsigned = 50;  // 4 unsigned peers
    std::vector<ClientProcess> peers;
    std::map<pid_t, bool> isSigned;
    for (int index = 0; index < 9; ++index) {
        const bool signedOne = index < 5;
        peers.emplace_back(signedOne ? peerPath : unsignedPeer,
                           std::vector<std::string>{"flood", std::to_string(signedOne ? perSigned : perUnsigned)},
                           daemonProcess->serviceName());
        ASSERT_GT(peers.back().pid(), 0) << peers.back().whyNot();
        isSigned[peers.back().pid()] = signedOne;
    }
    for (ClientProcess& peer : peers) {
        peer.closeInput();  // the go signal: each peer now opens all its connections at once
    }
    std::map<std::string, int> expected = {{refusalReasonLine, 4 * perUnsigned}};
    for (ClientProcess& peer : peers) {
        const ClientOutcome outcome = peer.finish();
        const bool signedOne = isSigned[outcome.pid];
        const int count = signedOne ? perSigned : perUnsigned;
        const int admitted = signedOne ? count : 0;
        EXPECT_EQ(outcome.out, "connections=" + std::to_string(count) + " admitted=" +
                                   std::to_string(admitted) + " refused=" + std::to_string(count - admitted) +
                                   " answered=" + std::to_string(admitted) + " duplicates=0 errors=0\n")
            << outcome.err;
        if (!signedOne) {
            expected[refusalLine(outcome.pid)] = perUnsigned;
        }
    }
    daemonProcess->waitForLines(
        [](const std::string& line) { return line.rfind("[TavelinHelper] Verbindung ABGELEHNT", 0) == 0; },
        4 * perUnsigned);
    std::map<std::string, int> counts;
    for (const std::string& line : linesAfter(1)) {  // after the start line
        ++counts[line];
    }
    EXPECT_EQ(counts, expected);
    EXPECT_TRUE(daemonProcess->isRunning());
    EXPECT_EQ(tavelinctl({"version"}).out, "0.0.1\n");
}

// Anyone may bind a free name; tavelinctl must not talk to a listener that is not root.
TEST(ImpostorEndToEndTest, TavelinctlRefusesAListenerThatIsNotRoot) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the impostor as another user";
    }
    const std::string name = uniqueServiceName();
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t impostor = ::fork();
    ASSERT_GE(impostor, 0);
    if (impostor == 0) {
        // Credentials are recorded at listen(): become nobody first, then hold the name
        // until the test closes its end of the pipe.
        auto listener = ::setgid(65534) == 0 && ::setuid(65534) == 0
                            ? listenOnAbstractName(name)
                            : std::variant<UniqueFd, SystemError>(SystemError{});
        char byte = 0;
        if (std::holds_alternative<UniqueFd>(listener) && ::write(ready[1], "r", 1) == 1) {
            ::close(ready[1]);
            static_cast<void>(::read(ready[0], &byte, 1));
        }
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    const ClientOutcome outcome = runClient(tavelinctlPath, {"version"}, name);
    ::close(ready[1]);  // lets the impostor end
    ::close(ready[0]);
    ASSERT_EQ(::waitpid(impostor, nullptr, 0), impostor);
    EXPECT_EQ(outcome.exitStatus, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err.find("impostor"), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("uid 65534"), std::string::npos) << outcome.err;
}

}  // namespace
}  // namespace tavelin::e2e
