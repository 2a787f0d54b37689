// tavelin-system-update, the linux layout's update tool, with real apt and dpkg: run by the
// real runner, as the daemon has it run, on a throwaway copy of this machine whose apt
// knows only a local repository of test packages (system-update-world.sh); never the
// host's packages, never the network. The dnf branch, which this Debian machine cannot run
// for real, against a stand-in dnf.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TavelinHelper/monitor/UpdateInstallation.h"
#include "TavelinHelper/runner/tests/RunnerTestTool.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"
#include "TavelinShared/SoftwareUpdateEvaluation.h"

namespace tavelin {
namespace {

const std::string systemUpdate = TAVELIN_SYSTEM_UPDATE_SCRIPT;
const std::string world = TAVELIN_SYSTEM_UPDATE_WORLD;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

TEST(SystemUpdateTest, InstallsTheHostsUpgradesWithAptThroughTheRunner) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root for a mount and a network namespace and for dpkg";
    }
    struct Case {
        const char* scenario;
        bool success;
        std::string message;  // the whole verdict, or its start when it ends in "…"
        const char* failureDetail;
        const char* installedVersion;
    };
    const std::vector<Case> cases = {
        {"upgradable", true, "Systemupdates installiert.", "", "2\n"},
        {"current", true, "Keine Systemupdates verf\u00fcgbar.", "", "1\n"},
        {"reboot", true, "Systemupdates installiert \u2013 Neustart erforderlich.", "", "2\n"},
        {"broken", false, "softwareupdate Exit 100: ", "E: Unable to fetch some archives", "1\n"},
        {"lock-released", true, "Systemupdates installiert.", "", "2\n"},
        {"lock-held", false,
         "softwareupdate Exit 100: ", "E: Unable to acquire the dpkg frontend lock", "1\n"},
    };
    const testing::RunnerWorld runner;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.scenario);
        const testing::ScratchTree scratch;
        testing::placeRunnerTool("exec unshare --mount --net --propagation private /bin/sh '" +
                                 world + "' '" + systemUpdate + "' '" + scratch.root() + "' " +
                                 testCase.scenario + " \"$@\"");
        const PrivilegedResult result =
            UpdateInstaller(UpdateInstaller::ThroughRunner{runner.unit.path()}).install();
        EXPECT_EQ(result.success(), testCase.success);
        if (testCase.success) {
            EXPECT_EQ(result.message(), testCase.message);
        } else {
            EXPECT_TRUE(startsWith(result.message(), testCase.message)) << result.message();
            EXPECT_NE(result.message().find(testCase.failureDetail), std::string::npos)
                << result.message();
        }
        EXPECT_EQ(readFile(scratch.real("/version")), testCase.installedVersion);
    }
    testing::placeRunnerTool("");
}

// The dnf branch on a PATH that has a stand-in dnf and no apt-get. The stand-in answers
// check-update with the scenario's status, fails upgrade with status 1 when told to, and
// says a restart is needed when told to.
TEST(SystemUpdateTest, UpgradesWithDnfWhereThereIsNoApt) {
    struct Case {
        const char* name;
        const char* standIn;
        bool success;
        std::string message;
        std::string calls;
    };
    const std::string checked = "--assumeyes check-update --refresh\n";
    const std::string upgraded = checked + "--assumeyes upgrade\nneeds-restarting --reboothint\n";
    const std::vector<Case> cases = {
        {"nothing to upgrade", "check=0 upgrade=0 restart=0", true,
         "Keine Systemupdates verf\u00fcgbar.", checked},
        {"upgraded", "check=100 upgrade=0 restart=0", true, "Systemupdates installiert.", upgraded},
        {"restart needed", "check=100 upgrade=0 restart=1", true,
         "Systemupdates installiert \u2013 Neustart erforderlich.", upgraded},
        {"metadata unreachable", "check=1 upgrade=0 restart=0", false,
         "softwareupdate Exit 1: Error: Failed to download metadata for repo 'fedora'", checked},
        {"upgrade fails", "check=100 upgrade=1 restart=0", false,
         "softwareupdate Exit 1: Error: Transaction test error", checked + "--assumeyes upgrade\n"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            const testing::ScratchTree scratch;
            const std::string bin = scratch.real("/bin");
            std::filesystem::create_directories(bin);
            for (const char* tool : {"sh", "mktemp", "cat", "rm", "tail", "grep"}) {
                std::filesystem::create_symlink("/usr/bin/" + std::string(tool), bin + "/" + tool);
            }
            std::ofstream(bin + "/dnf")
                << "#!/bin/sh\n"
                << testCase.standIn << "\n"
                << "echo \"$*\" >> '" << scratch.real("/calls") << "'\n"
                << "case $* in\n"
                << "*check-update*) [ $check = 1 ] && echo \"Error: Failed "
                   "to download metadata for repo 'fedora'\"; exit $check ;;\n"
                << "*upgrade*) [ $upgrade = 1 ] && echo 'Error: Transaction "
                   "test error' && exit 1; echo Complete! ;;\n"
                << "*needs-restarting*) exit $restart ;;\n"
                << "esac\n";
            std::filesystem::permissions(bin + "/dnf", std::filesystem::perms(0755));
            const std::string outputFile = scratch.real("/output");
            const std::string command = "env -i PATH='" + bin + "' LANG=C /usr/bin/sh '" +
                                        systemUpdate + "' --install --all --agree-to-license > '" +
                                        outputFile + "' 2>&1";
            const int status = std::system(command.c_str());  // NOLINT(concurrency-mt-unsafe)
            ASSERT_TRUE(WIFEXITED(status));
            const PrivilegedResult result =
                SoftwareUpdateEvaluation::result(WEXITSTATUS(status), readFile(outputFile));
            EXPECT_EQ(result.success(), testCase.success);
            EXPECT_EQ(result.message(), testCase.message);
            EXPECT_EQ(readFile(scratch.real("/calls")), testCase.calls);
        }();
    }
}

TEST(SystemUpdateTest, WithoutAptOrDnfItSaysSoAndFails) {
    const testing::ScratchTree scratch;
    const std::string bin = scratch.real("/bin");
    std::filesystem::create_directories(bin);
    for (const char* tool : {"sh", "mktemp", "rm"}) {
        std::filesystem::create_symlink("/usr/bin/" + std::string(tool), bin + "/" + tool);
    }
    const std::string outputFile = scratch.real("/output");
    const std::string command = "env -i PATH='" + bin + "' LANG=C /usr/bin/sh '" + systemUpdate +
                                "' --install --all --agree-to-license > '" + outputFile + "' 2>&1";
    const int status = std::system(command.c_str());  // NOLINT(concurrency-mt-unsafe)
    EXPECT_EQ(WEXITSTATUS(status), 69);
    EXPECT_EQ(readFile(outputFile),
              "tavelin-system-update: neither apt-get nor dnf found; this host's package manager "
              "is not supported\n");
}

}  // namespace
}  // namespace tavelin
