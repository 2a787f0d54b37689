// The real daemon binary and real client processes: what a user of tavelinctl sees, and
// what the daemon writes to its log meanwhile.
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinShared/PrivilegedResult.h"
#include "TavelinShared/tests/support/LayoutFolders.h"
#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {
namespace {

using DaemonEndToEndTest = DaemonTest;

const std::string removalAudit =
    "[TavelinHelper] perform: System-Pfade entfernen (1 Eintr\u00e4ge)";

TEST_F(DaemonEndToEndTest, SignedClientGetsTheVersionAndRealResults) {
    // Socket-activated on a name of the test's own, the start line names that one.
    ASSERT_GT(startLineCount, 0U);
    EXPECT_EQ(daemonProcess->lines().at(startLineCount - 1),
              "[TavelinHelper] gestartet, Service: " + daemonProcess->serviceName());
    const ClientOutcome version = tavelinctl({"version"});
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.output, "0.0.1\n");

    const CacheSandbox sandbox;
    if (!sandbox.available()) {
        GTEST_SKIP() << "needs root to create a folder below " << testing::layout::firstArea;
    }
    const std::string victim = sandbox.item("victim");
    std::filesystem::create_directories(victim + "/inner");
    writeFile(victim + "/inner/b.cache", 50000);
    const ScratchDirectory outside;
    const std::string refused = outside.file("not-below-an-allowed-folder");
    writeFile(refused, 10);
    // A path refused by the policy makes the whole removal a failure (status 1).
    const ClientOutcome removed = tavelinctl({"remove", victim, refused});
    EXPECT_EQ(removed.exitStatus, 1);
    EXPECT_EQ(removed.output.rfind("1 Pfade entfernt, 1 durch Policy abgelehnt (", 0), 0U)
        << removed.output;
    EXPECT_FALSE(std::filesystem::exists(victim));
    EXPECT_TRUE(std::filesystem::exists(refused));
    // The log is read on a thread of its own: its last line may come after the answer.
    const std::string victimRemoved = "[TavelinHelper] removed " + victim + " (";
    EXPECT_EQ(daemonProcess
                  ->waitForLines(
                      [&](const std::string& line) { return line.rfind(victimRemoved, 0) == 0; })
                  .size(),
              1U);

    // A relative path names a file below the caller's directory, not the daemon's: the
    // daemon logs the absolute path it was sent.
    writeFile(sandbox.item("relative"), 20);
    const std::size_t before = daemonProcess->lines().size();
    const ClientOutcome relative = runClient(
        "/usr/bin/env", {"--chdir=" + sandbox.item("."), tavelinctlPath, "remove", "relative"},
        daemonProcess->serviceName());
    EXPECT_EQ(relative.exitStatus, 0) << relative.output;
    const std::string removal =
        "[TavelinHelper] removed " + sandbox.item("relative") + " (20 bytes)";
    daemonProcess->waitForLines([&](const std::string& line) { return line == removal; });
    EXPECT_EQ(linesAfter(before), (std::vector<std::string>{removalAudit, removal}));
}

// The ELF type of an executable: ET_EXEC for one linked without PIE, ET_DYN for PIE.
int elfType(const std::string& path) {
    Elf64_Ehdr header{};
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return file && ::read(file.get(), &header, sizeof header) == sizeof header ? header.e_type
                                                                               : ET_NONE;
}

// Admission looks up a client's code in /proc/<pid>/map_files. A client linked without PIE,
// or static, runs its code at 0x400000, which maps prints padded ("00401000-...") and
// map_files names unpadded. Only a daemon running as root opens map_files (others go by the
// path), so only as root does this reach that lookup. A client started from an overlay (as
// in a container whose root is one): /proc/<pid>/maps names the layer's device, the file
// opened through map_files the overlay's; from the lower layer (here on the scratch
// folder's file system) and from the upper (a tmpfs) alike. Each is admitted.
TEST_F(DaemonEndToEndTest, SignedClientsLinkedWithoutPieStaticOrOnAnOverlayAreAdmitted) {
    struct Client {
        std::string what;
        std::string program;
        std::vector<std::string> arguments;  // none: a program linked without PIE
    };
    std::vector<Client> clients = {
        {"without PIE", TAVELIN_VERSION_CLIENT_NO_PIE, {}},
#ifdef TAVELIN_VERSION_CLIENT_STATIC
        {"static", TAVELIN_VERSION_CLIENT_STATIC, {}},
#endif
    };
    const ScratchDirectory lower;
    const ScratchDirectory layers;
    std::filesystem::copy_file(tavelinctlPath, lower.file("in-lower"));
    const std::string mountAndRun = R"(set -e
mount -t tmpfs tmpfs "$1"
mkdir "$1/upper" "$1/work" "$1/merged"
cp "$3" "$1/upper/in-upper"
mount -t overlay overlay -o "lowerdir=$2,upperdir=$1/upper,workdir=$1/work" "$1/merged"
exec "$1/merged/$4" version)";
    for (const char* layer : {"in-lower", "in-upper"}) {
        if (::geteuid() == 0) {  // which mounting an overlay needs
            clients.push_back({layer,
                               "/usr/bin/unshare",
                               {"--mount", "--propagation", "private", "/bin/sh", "-c", mountAndRun,
                                "sh", layers.file(""), lower.file(""), tavelinctlPath, layer}});
        }
    }
    for (const Client& client : clients) {
        SCOPED_TRACE(client.what);
        if (client.arguments.empty()) {
            EXPECT_EQ(elfType(client.program), ET_EXEC);
        }
        const ClientOutcome outcome =
            runClient(client.program, client.arguments, daemonProcess->serviceName());
        EXPECT_EQ(outcome.exitStatus, 0);
        EXPECT_EQ(outcome.output, "0.0.1\n");
    }
}

// This test binary is unsigned: a connection of its own is refused without a byte.
void expectClosedWithoutData(const UniqueFd& socket) {
    std::string chunk;
    const auto received = receiveSome(socket.get(), chunk, 64);
    EXPECT_TRUE(received ? chunk.empty() : received.error().errorNumber == ECONNRESET) << chunk;
}

TEST_F(DaemonEndToEndTest, ForeignCodeIsRefusedWithTheReasonThenTheRefusalLine) {
    const ScratchDirectory scratch;
    const std::string otherTeam = scratch.file("tavelinctl-other-team");
    ASSERT_EQ(makeCopySignedUnderDevelopmentAnchor(tavelinctlPath, otherTeam, "ZZ9X8Y7W6V",
                                                   "de.morvane.Tavelin"),
              "");
    for (const bool signedForAnotherTeam : {true, false}) {
        SCOPED_TRACE(signedForAnotherTeam ? "tavelinctl of another team" : "this unsigned test");
        const std::size_t before = daemonProcess->lines().size();
        pid_t pid = ::getpid();
        if (signedForAnotherTeam) {
            const ClientOutcome outcome =
                runClient(otherTeam, {"version"}, daemonProcess->serviceName());
            EXPECT_EQ(outcome.exitStatus, 2);
            EXPECT_NE(outcome.output.find("refused the connection"), std::string::npos)
                << outcome.output;
            pid = outcome.pid;
        } else {
            expectClosedWithoutData(connectToAbstractName(daemonProcess->serviceName()).value());
        }
        const std::string refusal = refusalLine(pid);
        daemonProcess->waitForLines([&](const std::string& line) { return line == refusal; });
        EXPECT_EQ(linesAfter(before), (std::vector<std::string>{refusalReasonLine, refusal}));
    }
    EXPECT_EQ(tavelinctl({"version"}).output, "0.0.1\n");  // refusals disturb nobody
}

TEST_F(DaemonEndToEndTest, UndecodableRequestsAreAnsweredAsInvalidAndNeverLogged) {
    const std::size_t before = daemonProcess->lines().size();
    const std::string invalid =
        *PrivilegedResult(false, "Ung\u00fcltige Operation", 0).encode() + "\n";
    for (const std::string& request :
         {std::string(), std::string("not json"),
          std::string(R"({"repairPermissions":{"path":null}})"),
          std::string("{\"removeSystemPaths\":{\"_0\":[\"\xff\"]}}")}) {
        SCOPED_TRACE(request);
        const ClientOutcome outcome = tavelinctl({"perform", request});
        EXPECT_EQ(outcome.exitStatus, 1);  // the answer says no success
        EXPECT_EQ(outcome.output, invalid);
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
        GTEST_SKIP() << "needs root to create a folder below " << testing::layout::firstArea;
    }
    // A tree big enough that removing it takes a while after the audit line.
    const std::string tree = sandbox.item("tree");
    for (int folder = 0; folder < 100; ++folder) {
        std::filesystem::create_directories(tree + "/" + std::to_string(folder));
        for (int file = 0; file < 100; ++file) {
            writeFile(tree + "/" + std::to_string(folder) + "/" + std::to_string(file), 1);
        }
    }
    ChildWithOutput client =
        startClient(tavelinctlPath, {"remove", tree}, daemonProcess->serviceName());
    daemonProcess->waitForLines([](const std::string& line) { return line == removalAudit; });
    ::kill(client.child.pid(), SIGKILL);
    EXPECT_EQ(finishClient(client).exitStatus, 128 + SIGKILL);
    // The operation runs to its end, its reply goes nowhere, and the daemon lives on.
    daemonProcess->waitForLines([&](const std::string& line) {
        return line.rfind("[TavelinHelper] removed " + tree + " (", 0) == 0;
    });
    EXPECT_FALSE(std::filesystem::exists(tree));
    EXPECT_EQ(tavelinctl({"version"}).output, "0.0.1\n");
}

// Five hundred connections at once, refused and admitted mixed: every one is handled,
// every refusal logged with its pid, and the daemon serves on afterwards.
TEST_F(DaemonEndToEndTest, FiveHundredConnectionsAtOnceAreAllHandled) {
    constexpr int refused = 480;  // from this unsigned test
    constexpr int admitted = 20;  // one signed tavelinctl each
    std::vector<UniqueFd> sockets;
    for (int index = 0; index < refused; ++index) {
        auto connected = connectToAbstractName(daemonProcess->serviceName());
        ASSERT_TRUE(connected.has_value()) << index;
        sockets.push_back(std::move(connected).value());
    }
    std::vector<ChildWithOutput> clients;
    for (int index = 0; index < admitted; ++index) {
        clients.push_back(startClient(tavelinctlPath, {"version"}, daemonProcess->serviceName()));
    }
    for (const UniqueFd& socket : sockets) {
        expectClosedWithoutData(socket);
    }
    for (ChildWithOutput& client : clients) {
        const ClientOutcome outcome = finishClient(client);
        EXPECT_EQ(outcome.exitStatus, 0);
        EXPECT_EQ(outcome.output, "0.0.1\n");
    }
    daemonProcess->waitForLines(
        [](const std::string& line) {
            return line.rfind("[TavelinHelper] Verbindung ABGELEHNT", 0) == 0;
        },
        refused);
    std::map<std::string, int> counts;
    for (const std::string& line : linesAfter(startLineCount)) {
        ++counts[line];
    }
    EXPECT_EQ(counts, (std::map<std::string, int>{{refusalReasonLine, refused},
                                                  {refusalLine(::getpid()), refused}}));
    EXPECT_EQ(tavelinctl({"version"}).output, "0.0.1\n");
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
        // until the test kills us.
        auto listener = ::setgid(65534) == 0 && ::setuid(65534) == 0 ? listenOnAbstractName(name)
                                                                     : systemError(EPERM, "setuid");
        if (listener && ::write(ready[1], "r", 1) == 1) {
            ::pause();
        }
        ::_exit(1);
    }
    ::close(ready[1]);  // so that the read ends should the impostor fail before listening
    char byte = 0;
    const bool listening = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    const ClientOutcome outcome =
        listening ? runClient(tavelinctlPath, {"version"}, name) : ClientOutcome{};
    ::kill(impostor, SIGKILL);
    ASSERT_EQ(::waitpid(impostor, nullptr, 0), impostor);
    ASSERT_TRUE(listening);
    EXPECT_EQ(outcome.exitStatus, 2);
    EXPECT_NE(outcome.output.find("impostor"), std::string::npos) << outcome.output;
    EXPECT_NE(outcome.output.find("uid 65534"), std::string::npos) << outcome.output;
}

// The daemon run with `replacement` mounted over its trust anchor, in a mount namespace of
// its own (nothing outside sees the swap): its exit status and its log. A daemon that
// starts anyway is killed after ten seconds, so the test fails rather than hangs.
ClientOutcome daemonWithAnchor(const std::string& replacement) {
    return runClient(
        "/usr/bin/unshare",
        {"--mount", "--propagation", "private", "/bin/sh", "-c",
         "mount --bind \"$1\" \"$2\" && exec timeout -s KILL 10 \"$3\"", "sh", replacement,
         std::string(TAVELIN_DEVELOPMENT_IDENTITY_DIR) + "/anchor.pem", daemonPath},
        "");
}

// An anchor someone else could have written is no anchor: the daemon does not start (and
// never takes its name) and says why.
TEST(DaemonTrustAnchorTest, RefusesToStartWithAnAnchorOthersCouldHaveWritten) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root for a mount namespace and other owners";
    }
    const struct {
        const char* name;
        uid_t owner;
        mode_t mode;
    } cases[] = {
        {"writable by everyone", 0, 0666},
        {"writable by its group", 0, 0620},
        {"owned by nobody", 65534, 0644},
    };
    const std::string original = std::string(TAVELIN_DEVELOPMENT_IDENTITY_DIR) + "/anchor.pem";
    for (const auto& [name, owner, mode] : cases) {
        SCOPED_TRACE(name);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            const ScratchDirectory scratch;
            const std::string copy = scratch.file("anchor.pem");
            std::filesystem::copy_file(original, copy);
            ASSERT_EQ(::chown(copy.c_str(), owner, owner), 0);
            ASSERT_EQ(::chmod(copy.c_str(), mode), 0);
            const ClientOutcome outcome = daemonWithAnchor(copy);
            EXPECT_EQ(outcome.exitStatus, 1) << outcome.output;
            EXPECT_EQ(outcome.output.rfind("[TavelinHelper] Start fehlgeschlagen: trust anchor " +
                                               original +
                                               " must be owned by root and writable by no one else",
                                           0),
                      0U)
                << outcome.output;
            EXPECT_EQ(outcome.output.find("gestartet"), std::string::npos) << outcome.output;
        }();
    }
}

// Arguments are for a person asking: they answer and end, and never start a daemon.
TEST(DaemonArgumentsTest, VersionAndHelpAnswerAndUnknownArgumentsAreUsageErrors) {
    const struct {
        std::vector<std::string> arguments;
        int exitStatus;
        const char* outputStart;
    } cases[] = {
        {{"--version"}, 0, "tavelin-helper 0.0.1 (path layout: " TAVELIN_PATH_LAYOUT ")\n"},
        {{"--help"}, 0, "usage: tavelin-helper [--help | --version]\n"},
        {{"-h"}, 0, "usage: tavelin-helper"},
        {{"--bogus"}, 64, "tavelin-helper: unknown argument \"--bogus\"\nusage:"},
        {{"--version", "extra"}, 64, "tavelin-helper: unknown argument \"--version\""},
    };
    for (const auto& [arguments, exitStatus, outputStart] : cases) {
        SCOPED_TRACE(arguments.front());
        // No name is given: a daemon that started anyway would take the production one
        // and not end, so the test would hang rather than pass.
        const ClientOutcome outcome = runClient(daemonPath, arguments, "");
        EXPECT_EQ(outcome.exitStatus, exitStatus) << outcome.output;
        EXPECT_EQ(outcome.output.rfind(outputStart, 0), 0U) << outcome.output;
    }
}

}  // namespace
}  // namespace tavelin::e2e
