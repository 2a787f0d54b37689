// A daemon and tavelinctl built with the linux path layout, acting on the host's own
// folders: the daemon runs in a mount namespace of its own where /var and /opt are
// throwaway (tavelin_host_folders_launcher), so a removal that went wrong could never
// reach the host's logs. The test sees the daemon's files through /proc/<pid>/root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TavelinShared/PathLayout.h"
#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {
namespace {

namespace fs = std::filesystem;

class HostFoldersTest : public DaemonTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(PathLayout::name, "linux");
        if (::geteuid() != 0 || !fs::is_directory("/opt")) {
            GTEST_SKIP() << "needs root for a mount namespace, and /opt to lay a tmpfs over";
        }
        startDaemon(TAVELIN_HOST_FOLDERS_LAUNCHER);
    }

    // `path` as the daemon sees it.
    [[nodiscard]] std::string seen(const std::string& path) const {
        return "/proc/" + std::to_string(daemonProcess->pid()) + "/root" + path;
    }
    void write(const std::string& path, std::size_t size) const {
        fs::create_directories(fs::path(seen(path)).parent_path());
        writeFile(seen(path), size);
    }
};

TEST_F(HostFoldersTest, RemovesBelowTheHostsCacheAndRefusesEverythingElse) {
    write("/var/cache/app/blobs/a", 50000);
    write("/var/cache/app/index", 3000);
    const ClientOutcome removed = tavelinctl({"remove", "/var/cache/app"});
    EXPECT_EQ(removed.exitStatus, 0) << removed.output;
    EXPECT_EQ(removed.output.rfind("1 Pfade entfernt (", 0), 0U) << removed.output;
    EXPECT_FALSE(fs::exists(seen("/var/cache/app")));
    const auto freed = daemonProcess->waitForLines([](const std::string& line) {
        return line.rfind("[TavelinHelper] removed /var/cache/app (", 0) == 0;
    });
    ASSERT_EQ(freed.size(), 1U);
    EXPECT_NE(freed[0], "[TavelinHelper] removed /var/cache/app (0 bytes)");

    write("/var/cache/kept/x", 10);
    write("/var/lib/dpkg/status", 10);
    write("/var/cache/debconf/config.dat", 10);
    const std::vector<std::string> refused = {"/var/cache", "/var/lib/dpkg/status", "/etc/passwd",
                                              "/var/cache/debconf/config.dat", "/Library/Caches/x"};
    for (const std::string& path : refused) {
        SCOPED_TRACE(path);
        const ClientOutcome outcome = tavelinctl({"remove", path});
        EXPECT_EQ(outcome.exitStatus, 1);
        EXPECT_EQ(outcome.output.rfind("0 Pfade entfernt, 1 durch Policy abgelehnt", 0), 0U)
            << outcome.output;
    }
    for (const char* path : {"/var/cache/kept/x", "/var/lib/dpkg/status", "/etc/passwd",
                             "/var/cache/debconf/config.dat"}) {
        EXPECT_TRUE(fs::exists(seen(path))) << path;
    }
}

TEST_F(HostFoldersTest, RepairsBelowOptOnly) {
    fs::create_directories(seen("/opt/app/lib"));
    ASSERT_EQ(::chmod(seen("/opt/app").c_str(), 0700), 0);
    ASSERT_EQ(::chmod(seen("/opt/app/lib").c_str(), 0700), 0);
    const ClientOutcome repaired = tavelinctl({"repair", "/opt/app"});
    EXPECT_EQ(repaired.exitStatus, 0) << repaired.output;
    EXPECT_EQ(modeOf(seen("/opt/app")), 0755U);
    EXPECT_EQ(modeOf(seen("/opt/app/lib")), 0700U);  // the item alone

    const ClientOutcome refused = tavelinctl({"repair", "/Library/x"});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_NE(refused.output.find("Pfad au\u00dferhalb der zul\u00e4ssigen Bereiche"),
              std::string::npos)
        << refused.output;
}

}  // namespace
}  // namespace tavelin::e2e
