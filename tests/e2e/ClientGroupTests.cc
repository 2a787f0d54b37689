// The daemon built with a client group, and the client installed root:<group> mode 2755 as
// a packager would: only a set-group-id start of it is admitted. Such a start makes the
// loader ignore the user's LD_* variables and the process undumpable, so the injections
// that the code check must catch after the fact cannot happen at all. Every attacker runs
// as uid 65534 and asks for a repair of a 0700 marker.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* clientGroupName = "tavelin-test-clients";

// The client group for the test's duration: created when missing, removed again if this
// test created it.
class ClientGroup {
  public:
    ClientGroup() {
        if (::getgrnam(clientGroupName) == nullptr) {
            created_ =
                std::system((std::string("groupadd --system ") + clientGroupName).c_str()) == 0;
        }
        const group* entry = ::getgrnam(clientGroupName);
        gid_ = entry != nullptr ? entry->gr_gid : 0;
    }
    ClientGroup(const ClientGroup&) = delete;
    ClientGroup& operator=(const ClientGroup&) = delete;
    ~ClientGroup() {
        if (created_) {
            // A group left behind is found, and kept, by the next run.
            static_cast<void>(!std::system((std::string("groupdel ") + clientGroupName).c_str()));
        }
    }
    [[nodiscard]] gid_t gid() const noexcept { return gid_; }

  private:
    bool created_ = false;
    gid_t gid_ = 0;
};

struct Attempt {
    const char* name;
    std::vector<std::string> command;  // after env(1), as uid and gid 65534
    bool served;
    const char* outputStart;
    bool proofExpected;  // whether the injected library ran
};

TEST(ClientGroupTest, OnlyASetGroupIdStartOfTheInstalledClientIsAdmitted) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to create the group and install the client";
    }
    const ClientGroup group;
    ASSERT_NE(group.gid(), 0U) << "groupadd failed";
    std::string whyNot;
    const auto daemon =
        DaemonProcess::start(uniqueServiceName(), whyNot, 0, {}, TAVELIN_CLIENT_GROUP_DAEMON);
    ASSERT_NE(daemon, nullptr) << whyNot;

    const CacheSandbox sandbox;
    ASSERT_TRUE(sandbox.available());
    const std::string marker = sandbox.item("marker");
    writeFile(marker, 10);
    const ScratchDirectory scratch;
    fs::permissions(scratch.file(""), fs::perms(0755));
    const std::string installed =
        installCopy(tavelinctlPath, scratch.file("tavelinctl"), 0, group.gid(), 02755);
    const std::string plain = installCopy(tavelinctlPath, scratch.file("plain"), 0, 0, 0755);
    const std::string rogue = installCopy(TAVELIN_ROGUE_CLIENT, scratch.file("rogue"), 0, 0, 0755);
    const std::string injected =
        installCopy(TAVELIN_INJECTED_LIBRARY, scratch.file("injected.so"), 65534, 65534, 0755);
    const std::string ownFiles = scratch.file("own");
    fs::create_directory(ownFiles);
    ASSERT_EQ(::chown(ownFiles.c_str(), 65534, 65534), 0);
    installCopy(mappedLibrary("libstdc++.so.6"), ownFiles + "/libstdc++.so.6", 65534, 65534, 0755);
    const std::string proof = ownFiles + "/proof";
    const std::string preload = "LD_PRELOAD=" + injected;
    const std::string proofVariable = "TAVELIN_INJECTED_PROOF=" + proof;

    const std::vector<Attempt> attempts = {
        {"the installed client", {installed, "repair", marker}, true, "", false},
        {"the same client, not set-group-id", {plain, "repair", marker}, false, "", false},
        {"control: a preloaded library runs in the plain client, which is refused",
         {preload, proofVariable, plain, "repair", marker},
         false,
         "",
         true},
        {"a preloaded library: the loader ignores it",
         {preload, proofVariable, installed, "repair", marker},
         true,
         "",
         false},
        {"an audit module: the loader ignores it",
         {"LD_AUDIT=" + injected, proofVariable, installed, "repair", marker},
         true,
         "",
         false},
        {"a look-alike dependency: the loader does not look there",
         {"LD_LIBRARY_PATH=" + ownFiles, installed, "repair", marker},
         true,
         "",
         false},
        {"a tracing parent that lets go before the client connects",
         {rogue, "traceme", installed, "repair", marker},
         false,
         "",
         false},
        {"a process of the same user that opens the client's memory",
         {rogue, "memwrite", installed, "repair", marker},
         true,
         "memory refused",
         false},
    };
    std::size_t served = 0;
    std::size_t refused = 0;
    for (const Attempt& attempt : attempts) {
        SCOPED_TRACE(attempt.name);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
#ifdef TAVELIN_SANITIZER_BUILD
            // With an audit module named, a sanitizer runtime cannot be loaded (ThreadSanitizer:
            // "cannot allocate memory in static TLS block"), so the client never starts.
            if (attempt.command.front().rfind("LD_AUDIT=", 0) == 0) {
                return;
            }
#endif
            ASSERT_EQ(::chmod(marker.c_str(), 0700), 0);
            fs::remove(proof);
            const std::size_t before = daemon->lines().size();
            const ClientOutcome outcome = runAttacker(attempt.command, daemon->serviceName());
            EXPECT_EQ(outcome.output.rfind(attempt.outputStart, 0), 0U) << outcome.output;
            EXPECT_EQ(modeOf(marker), attempt.served ? 0755 : 0700) << outcome.output;
            EXPECT_EQ(fs::exists(proof), attempt.proofExpected);
            if (attempt.served) {
                daemon->waitForLines(
                    [&](const std::string& line) { return line == repairAudit(marker); }, ++served);
                return;
            }
            daemon->waitForLines(
                [&](const std::string& line) {
                    return line.rfind("[TavelinHelper] Verbindung ABGELEHNT", 0) == 0;
                },
                ++refused);
            const std::vector<std::string> after = daemon->linesAfter(before);
            EXPECT_NE(std::find(after.begin(), after.end(), refusalReasonLine), after.end());
        }();
    }
}

}  // namespace
}  // namespace tavelin::e2e
