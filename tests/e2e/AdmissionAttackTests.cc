// Attacks on admission run for real against the real daemon, by an unprivileged user (uid
// 65534) unless root is needed: code of the attacker's own inside the signed client, an
// unsigned program that makes its /proc/<pid>/exe name the signed client, the signed client
// in a user namespace of its own, and a signed program that hands its admitted connection
// over exec to another. Each asks for a repair of a 0700 marker; the marker keeps its mode
// unless the request was served. Each of admission's findings is the only one that refuses
// some case here.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {
namespace {

namespace fs = std::filesystem;

using AdmissionAttackTest = DaemonTest;

const std::string programChangedLine =
    "[TavelinHelper] Verbindung geschlossen (anderes Programm als bei der Zulassung, pid=";

struct Attack {
    const char* name;
    std::vector<std::string> command;
    bool served;                 // only the controls are
    const char* expectedOutput;  // the start of what the client prints
    int exitStatus;              // tavelinctl refused: 2; the rogue reports and ends with 0
    bool asRoot = false;         // else as uid and gid 65534
};

TEST_F(AdmissionAttackTest, InjectedOrForeignCodeIsRefusedAndTheMarkerKeepsItsMode) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the attacker as another user";
    }
    const CacheSandbox sandbox;
    ASSERT_TRUE(sandbox.available());
    const std::string marker = sandbox.item("marker");
    writeFile(marker, 10);

    // Everything the attacker runs, in a folder it can reach: root's signed programs, and
    // libraries of its own.
    const ScratchDirectory scratch;
    const std::string tools = scratch.file("");
    fs::permissions(tools, fs::perms(0755));
    const std::string client = installCopy(tavelinctlPath, tools + "tavelinctl", 0, 0);
    const std::string rogue = installCopy(TAVELIN_ROGUE_CLIENT, tools + "rogue", 0, 0);
    const std::string unsignedRogue =
        installCopy(TAVELIN_UNSIGNED_ROGUE_CLIENT, tools + "unsigned", 0, 0);
    const std::string injected =
        installCopy(TAVELIN_INJECTED_LIBRARY, tools + "injected.so", 65534, 65534);
    const std::string ownLibraries = scratch.file("libraries");
    fs::create_directory(ownLibraries);
    ASSERT_EQ(::chown(ownLibraries.c_str(), 65534, 65534), 0);
    const std::string dependency = mappedLibrary("libstdc++.so.6");
    ASSERT_FALSE(dependency.empty());
    installCopy(dependency, ownLibraries + "/libstdc++.so.6", 65534, 65534);

    const std::vector<Attack> attacks = {
        {"control: the signed client as it is", {client, "repair", marker}, true, "Rechte", 0},
        {"a library of the user preloaded",
         {"LD_PRELOAD=" + injected, client, "repair", marker},
         false,
         "",
         2},
        {"a library of the user as an audit module",
         {"LD_AUDIT=" + injected, client, "repair", marker},
         false,
         "",
         2},
        {"a look-alike dependency found through LD_LIBRARY_PATH",
         {"LD_LIBRARY_PATH=" + ownLibraries, client, "repair", marker},
         false,
         "",
         2},
        {"an unsigned program whose exe names the signed client",
         {unsignedRogue, "spoof", marker, client},
         false,
         "closed",
         0},
        // Root maps itself as root in the namespace, so the client still trusts the daemon.
        {"the signed client, its code mapped, in a user namespace of its own",
         {"/usr/bin/unshare", "--user", "--map-root-user", client, "repair", marker},
         false,
         "",
         2,
         true},
        {"an unsigned program of root whose exe names the signed client, in our namespace",
         {unsignedRogue, "exe", marker, client},
         false,
         "closed",
         0,
         true},
        {"control: the signed rogue asking as itself",
         {rogue, "direct", marker},
         true,
         "answered",
         0},
        {"a signed program that execs another on its admitted connection",
         {rogue, "exec", marker, unsignedRogue},
         false,
         "closed",
         0},
    };
    std::size_t served = 0;
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
#ifdef TAVELIN_SANITIZER_BUILD
            // An audit module gets a link namespace of its own, into which a second sanitizer
            // runtime is loaded, which aborts the client before it ever connects: there is
            // nothing for the daemon to refuse.
            if (attack.command.front().rfind("LD_AUDIT=", 0) == 0) {
                return;
            }
#endif
            ASSERT_EQ(::chmod(marker.c_str(), 0700), 0);
            const std::size_t before = daemonProcess->lines().size();
            const ClientOutcome outcome =
                runAttacker(attack.command, daemonProcess->serviceName(), attack.asRoot);
            EXPECT_EQ(outcome.output.rfind(attack.expectedOutput, 0), 0U) << outcome.output;
            EXPECT_EQ(outcome.exitStatus, attack.exitStatus) << outcome.output;
            EXPECT_EQ(modeOf(marker), attack.served ? 0755 : 0700);
            if (attack.served) {
                // Its audit line must be in before the next case counts the lines.
                daemonProcess->waitForLines(
                    [&](const std::string& line) { return line == repairAudit(marker); }, ++served);
                return;
            }
            const bool execs = attack.command[1] == "exec";
            const std::string last = execs ? programChangedLine + std::to_string(outcome.pid) + ")"
                                           : refusalLine(outcome.pid);
            daemonProcess->waitForLines([&](const std::string& line) { return line == last; });
            const std::vector<std::string> expected =
                execs ? std::vector<std::string>{last}
                      : std::vector<std::string>{refusalReasonLine, last};
            EXPECT_EQ(linesAfter(before), expected);
        }();
    }
}

}  // namespace
}  // namespace tavelin::e2e
