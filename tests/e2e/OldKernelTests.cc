// The daemon on a kernel without SO_PEERPIDFD and SO_PASSPIDFD (Linux 5.3 to 6.4), run
// for real on this kernel: a launcher installs a system call filter that refuses those two
// options as such a kernel does before it execs the daemon, whose front inherits it. The
// daemon names its weaker mode once, serves, and still refuses bytes from any process but
// the admitted one: a forked child, and a new process under the admitted one's pid.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {
namespace {

namespace fs = std::filesystem;

const std::string weakerModeLine =
    "[TavelinHelper] Eingeschr\u00e4nkter Modus: Kernel ohne SO_PEERPIDFD/SO_PASSPIDFD, "
    "Clients per pidfd_open und SCM_CREDENTIALS gepr\u00fcft";

std::string foreignSenderLine(const std::string& pid) {
    return "[TavelinHelper] Verbindung geschlossen (Daten eines fremden Prozesses, pid=" + pid +
           ")";
}

class OldKernelTest : public DaemonTest {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to install the launcher's filter without no_new_privs";
        }
        startDaemon(TAVELIN_OLD_KERNEL_LAUNCHER);
    }
};

TEST_F(OldKernelTest, NamesTheWeakerModeAndServesTheSignedClient) {
    const std::vector<std::string> lines = daemonProcess->lines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines[lines.size() - 2], weakerModeLine);

    EXPECT_EQ(tavelinctl({"version"}).output, "0.0.1\n");
    const CacheSandbox sandbox;
    ASSERT_TRUE(sandbox.available());
    const std::string victim = sandbox.item("victim");
    writeFile(victim, 1000);
    const ClientOutcome removed = tavelinctl({"remove", victim});
    EXPECT_EQ(removed.output.rfind("1 Pfade entfernt", 0), 0U) << removed.output;
    EXPECT_FALSE(fs::exists(victim));
}

TEST_F(OldKernelTest, RefusesBytesFromAnyProcessButTheAdmittedOne) {
    const CacheSandbox sandbox;
    ASSERT_TRUE(sandbox.available());
    const std::string marker = sandbox.item("marker");
    writeFile(marker, 10);
    const ScratchDirectory scratch;
    const std::string rogue = scratch.file("rogue");
    fs::copy_file(TAVELIN_ROGUE_CLIENT, rogue);
    fs::permissions(scratch.file(""), fs::perms(0755));

    struct Attack {
        const char* name;
        std::vector<std::string> command;
        bool asRoot;
    };
    const std::vector<Attack> attacks = {
        {"a forked child writes on its parent's admitted connection",
         {rogue, "fork", marker},
         false},
        // Run as root: only the test can make the kernel hand out a chosen pid.
        {"a new process under the pid of the admitted one, which has exited",
         {rogue, "reuse", marker},
         true},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            ASSERT_EQ(::chmod(marker.c_str(), 0700), 0);
            const std::size_t before = daemonProcess->lines().size();
            const ClientOutcome outcome =
                runAttacker(attack.command, daemonProcess->serviceName(), attack.asRoot);
            // "closed", or "reused <pid> closed": the pid the connection was admitted for.
            std::string admittedPid = std::to_string(outcome.pid);
            if (outcome.output.rfind("reused ", 0) == 0) {
                admittedPid = outcome.output.substr(7, outcome.output.find(' ', 7) - 7);
            }
            EXPECT_TRUE(outcome.output == "closed\n" || outcome.output.ends_with(" closed\n"))
                << outcome.output;
            EXPECT_EQ(modeOf(marker), 0700);
            const std::string line = foreignSenderLine(admittedPid);
            daemonProcess->waitForLines([&](const std::string& logged) { return logged == line; });
            const std::vector<std::string> after = daemonProcess->linesAfter(before);
            EXPECT_NE(std::find(after.begin(), after.end(), line), after.end());
        }();
    }
}

}  // namespace
}  // namespace tavelin::e2e
