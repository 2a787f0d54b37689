// The daemon's own service name, "de.morvane.Tavelin.helper": what a user gets who types
// tavelinctl with no settings at all. CTest runs these one at a time (RESOURCE_LOCK on
// the name), since only one process can hold it.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinShared/PrivilegedHelperInfo.h"
#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {
namespace {

const std::string fixedName(PrivilegedHelperInfo::machServiceName);

// True when something already listens under the fixed name (a daemon installed on this
// machine, say); these tests then leave it alone.
bool nameIsTaken() {
    return connectToAbstractName(fixedName).has_value();
}

TEST(FixedNameTest, TavelinctlReachesTheDaemonUnderItsOwnName) {
    if (nameIsTaken()) {
        GTEST_SKIP() << fixedName << " is held by another process";
    }
    std::string whyNot;
    const std::unique_ptr<DaemonProcess> daemon = DaemonProcess::start(fixedName, whyNot);
    ASSERT_NE(daemon, nullptr) << whyNot;
    const std::vector<std::string> lines = daemon->lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[TavelinHelper] gestartet, Service: de.morvane.Tavelin.helper");
    const ClientOutcome version = runClient(tavelinctlPath, {"version"}, "");
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.output, "0.0.1\n");
}

TEST(FixedNameTest, TavelinctlSaysSoWhenTheDaemonIsNotRunning) {
    if (nameIsTaken()) {
        GTEST_SKIP() << fixedName << " is held by another process";
    }
    // Should a daemon take the name meanwhile, the removal names a file of ours that no
    // policy allows.
    const ScratchDirectory scratch;
    const std::string ours = scratch.file("ours");
    writeFile(ours, 10);
    const std::vector<std::vector<std::string>> commands = {{"version"}, {"remove", ours}};
    for (const std::vector<std::string>& command : commands) {
        SCOPED_TRACE(command.front());
        const ClientOutcome outcome = runClient(tavelinctlPath, command, "");
        EXPECT_EQ(outcome.exitStatus, 2);
        EXPECT_EQ(
            outcome.output,
            "tavelinctl: the Tavelin helper is not running (service de.morvane.Tavelin.helper)\n");
    }
    EXPECT_TRUE(std::filesystem::exists(ours));
}

}  // namespace
}  // namespace tavelin::e2e
