// The real daemon binary and real client processes: what a user of tavelinctl sees, and
// what the daemon writes to its log meanwhile.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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
    writeFile(victim + "/a.cache", 100000);
    writeFile(victim + "/inner/b.cache", 50000);
    const std::string repaired = sandbox.item("repaired");
    writeFile(repaired, 10);
    ASSERT_EQ(::chmod(repaired.c_str(), 0600), 0);
    const ScratchDirectory outside;
    const std::string refused = outside.file("not-below-an-allowed-folder");
    writeFile(refused, 10);

    struct Case {
        std::vector<std::string> arguments;
        int exitStatus;
        std::string outputPrefix;
    };
    const std::vector<Case> cases = {
        {{"remove", victim}, 0, "1 Pfade entfernt ("},
        {{"remove", refused}, 0, "0 Pfade entfernt, 1 durch Policy abgelehnt (0 Bytes freigegeben)"},
        {{"repair", repaired}, 0, "Rechte gesetzt: " + repaired},
        {{"update"}, 1, ""},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.arguments.front() + " " +
                     (testCase.arguments.size() > 1 ? testCase.arguments[1] : ""));
        const ClientOutcome outcome = tavelinctl(testCase.arguments);
        EXPECT_EQ(outcome.exitStatus, testCase.exitStatus) << outcome.out << outcome.err;
        EXPECT_EQ(outcome.out.rfind(testCase.outputPrefix, 0), 0U) << outcome.out;
        EXPECT_EQ(outcome.out.back(), '\n');
    }
    EXPECT_FALSE(exists(victim));
    EXPECT_TRUE(exists(refused));
    struct stat status {};
    ASSERT_EQ(::stat(repaired.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0755U);

    // The removal was announced before it ran and logged with its measured size.
    const std::vector<std::string> log = daemonProcess->lines();
    const auto audit = std::find(log.begin(), log.end(),
                                 "[TavelinHelper] perform: System-Pfade entfernen (1 Eintr\u00e4ge)");
    ASSERT_NE(audit, log.end());
    ASSERT_NE(audit + 1, log.end());
    EXPECT_EQ((audit + 1)->rfind("[TavelinHelper] removed " + victim + " (", 0), 0U) << *(audit + 1);
}

TEST_F(DaemonEndToEndTest, ForeignCodeIsRefusedWithTheReasonThenTheRefusalLine) {
    const ScratchDirectory scratch;
    struct Case {
        std::string name;
        std::string path;
        std::string failure;  // empty once the copy is made
    };
    std::vector<Case> cases = {
        {"unsigned copy", scratch.file("tavelinctl-unsigned"), {}},
        {"signed for another team", scratch.file("tavelinctl-other-team"), {}},
        {"signed with another identifier", scratch.file("tavelinctl-other-identifier"), {}},
        {"signed by a stranger's anchor", scratch.file("tavelinctl-stranger"), {}},
    };
    cases[0].failure = makeUnsignedCopy(tavelinctlPath, cases[0].path);
    cases[1].failure = makeCopySignedUnderDevelopmentAnchor(
        tavelinctlPath, cases[1].path, developmentIdentityDirectory, "ZZ9X8Y7W6V", "de.morvane.Tavelin");
    cases[2].failure = makeCopySignedUnderDevelopmentAnchor(
        tavelinctlPath, cases[2].path, developmentIdentityDirectory, "QH4T7R2KZ5", "de.morvane.Other");
    cases[3].failure = makeCopySignedByStranger(codesignPath, tavelinctlPath, cases[3].path,
                                                "QH4T7R2KZ5", scratch.path());
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ASSERT_EQ(testCase.failure, "");
        const std::size_t before = daemonProcess->lines().size();
        const ClientOutcome outcome = runClient(testCase.path, {"version"}, daemonProcess->serviceName());
        EXPECT_EQ(outcome.exitStatus, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find("refused the connection"), std::string::npos) << outcome.err;
        const std::string refusal = refusalLine(outcome.pid);
        daemonProcess->waitForLines([&](const std::string& line) { return line == refusal; });
        EXPECT_EQ(linesAfter(before), (std::vector<std::string>{refusalReasonLine, refusal}));
    }
    // Refusals disturb nobody: the signed client is still served.
    EXPECT_EQ(tavelinctl({"version"}).out, "0.0.1\n");
}

TEST_F(DaemonEndToEndTest, UndecodableRequestsAreAnsweredAsInvalidAndNeverLogged) {
    const std::vector<std::string> requests = {
        "", "{}", "not json", "[]", R"({"removeSystemPaths":{"_0":[1]}})",
        R"({"installSystemUpdates":{},"repairPermissions":{"path":"/x"}})",
        R"({"repairPermissions":{"path":null}})", "{\"removeSystemPaths\":{\"_0\":[\"\xff\"]}}"};
    const std::size_t before = daemonProcess->lines().size();
    const PrivilegedResult invalid(false, "Ung\u00fcltige Operation", 0);
    for (const std::string& request : requests) {
        SCOPED_TRACE(request);
        const ClientOutcome outcome = tavelinctl({"perform", request});
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
        ASSERT_FALSE(outcome.out.empty());
        EXPECT_EQ(outcome.out.back(), '\n');
        const auto result = PrivilegedResult::decode(outcome.out.substr(0, outcome.out.size() - 1));
        ASSERT_TRUE(result.ok()) << outcome.out;
        EXPECT_EQ(result.value(), invalid);
    }
    // A request that does decode is logged; everything before it was not.
    const ClientOutcome marker = tavelinctl({"perform", R"({"removeSystemPaths":{"_0":[]}})"});
    EXPECT_EQ(marker.exitStatus, 0);
    const std::string audit = "[TavelinHelper] perform: System-Pfade entfernen (0 Eintr\u00e4ge)";
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
        const std::string path = tree + "/" + std::to_string(folder);
        std::filesystem::create_directories(path);
        for (int file = 0; file < 100; ++file) {
            writeFile(path + "/" + std::to_string(file), 1);
        }
    }
    ClientProcess client(tavelinctlPath, {"remove", tree}, daemonProcess->serviceName());
    ASSERT_GT(client.pid(), 0) << client.whyNot();
    daemonProcess->waitForLines([](const std::string& line) {
        return line == "[TavelinHelper] perform: System-Pfade entfernen (1 Eintr\u00e4ge)";
    });
    client.kill(SIGKILL);
    EXPECT_EQ(client.finish().exitStatus, 128 + SIGKILL);

    // The operation still runs to its end, its reply goes nowhere, and the daemon lives on.
    daemonProcess->waitForLines([&](const std::string& line) {
        return line.rfind("[TavelinHelper] removed " + tree + " (", 0) == 0;
    });
    EXPECT_FALSE(exists(tree));
    const ClientOutcome version = tavelinctl({"version"});
    EXPECT_EQ(version.out, "0.0.1\n") << version.err;
    EXPECT_TRUE(daemonProcess->isRunning());
}

// Anyone may bind a free name; tavelinctl must not talk to a listener that is not root.
TEST(ImpostorEndToEndTest, TavelinctlRefusesAListenerThatIsNotRoot) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the impostor as another user";
    }
    constexpr uid_t nobody = 65534;
    const std::string name = uniqueServiceName();
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t impostor = ::fork();
    ASSERT_GE(impostor, 0);
    if (impostor == 0) {
        // Credentials are recorded at listen(): become nobody first, then hold the name
        // until the test closes the pipe.
        if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
            ::_exit(1);
        }
        auto listener = listenOnAbstractName(name);
        if (!std::holds_alternative<UniqueFd>(listener) || ::write(ready[1], "r", 1) != 1) {
            ::_exit(1);
        }
        ::close(ready[1]);  // so that the read below ends once the test closes its end
        char byte = 0;
        static_cast<void>(::read(ready[0], &byte, 1));
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    const ClientOutcome outcome = runClient(tavelinctlPath, {"version"}, name);
    ::close(ready[1]);  // lets the impostor end
    ::close(ready[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(impostor, &status, 0), impostor);
    EXPECT_EQ(outcome.exitStatus, 2);
    EXPECT_EQ(outcome.out, "");
    EXPECT_NE(outcome.err.find("impostor"), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("uid 65534"), std::string::npos) << outcome.err;
}

}  // namespace
}  // namespace tavelin::e2e
