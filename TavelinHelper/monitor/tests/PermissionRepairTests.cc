#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "TavelinHelper/monitor/PermissionRepair.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"
#include "TavelinShared/tests/support/LayoutFolders.h"

namespace tavelin {
namespace {

namespace layout = testing::layout;
using testing::ScratchTree;

TEST(RepairPermissions, AdmitsTheAllowedAreasAndSetsTheItemAloneTo0755) {
    const std::string refused = "Pfad au\u00dferhalb der zul\u00e4ssigen Bereiche";
    const std::string caches(layout::firstArea);
    const std::string farArea(layout::lastArea);  // outside the repair folder
    const std::string repair(layout::repairFolder);
    const std::string preferences = repair + "/Preferences";      // in no area
    const std::string app = repair + "/Application Support/app";  // a folder, mode 0700
    std::string shouted = caches + "/x";
    std::transform(shouted.begin(), shouted.end(), shouted.begin(),
                   [](unsigned char letter) { return std::toupper(letter); });
    struct Case {
        std::string path;
        std::string cwd;
        std::string changed;  // set to 0755 ("Rechte gesetzt: <path>"), or empty when refused
        std::string message;  // when refused
    };
    const std::vector<Case> cases = {
        {caches + "/x", "/", caches + "/x", ""},
        {repair + "/Application Support/./app", "/", app, ""},
        {farArea + "/system.log", "/", farArea + "/system.log", ""},
        {"x", caches, caches + "/x", ""},
        {repair + "/", "/", repair, ""},
        {preferences + "/..", "/", repair, ""},
        {repair, "/", "", refused},
        {shouted, "/", "", refused},
        {"/etc/passwd", "/", "", refused},
        {repair + "/../etc/passwd", "/", "", refused},
        {preferences.substr(1) + "/p", "/", "", refused},
        {"", "/", "", refused},
        {caches + "/missing", "/", "", "No such file or directory"},
        {caches + "/x/", "/", "", "Not a directory"},
        // Links are never followed, neither at the named path nor before it.
        {caches + "/linkToPasswd", "/", "", "Too many levels of symbolic links"},
        {preferences + "/linkToEtc/passwd", "/", "", "Too many levels of symbolic links"},
    };
    const std::vector<std::string> files = {"/etc/passwd",           "/x",
                                            caches + "/x",           app + "/in",
                                            farArea + "/system.log", preferences + "/p"};
    for (const Case& c : cases) {
        ScratchTree tree;
        tree.makeFolder(app, 0700);
        for (const std::string& path : files) {
            tree.writeFile(path, 1, 0600);
        }
        tree.makeLink(tree.real("/etc/passwd"), caches + "/linkToPasswd");
        tree.makeLink(tree.real("/etc"), preferences + "/linkToEtc");
        Expected<ClientFileSystem, SystemError> fs = ClientFileSystem::open(tree.root(), c.cwd);
        ASSERT_TRUE(fs.has_value());
        const std::string input = "path: \"" + c.path + "\" cwd " + c.cwd;

        const PrivilegedResult result = repairPermissions(c.path, fs.value());

        EXPECT_EQ(result.success(), !c.changed.empty()) << input;
        EXPECT_EQ(result.message(), c.changed.empty() ? c.message : "Rechte gesetzt: " + c.path)
            << input;
        EXPECT_EQ(result.freedBytes(), 0) << input;
        auto modeOf = [&tree](const std::string& path) {
            return tree.status(path)->st_mode & 07777;
        };
        EXPECT_EQ(modeOf(app), c.changed == app ? 0755 : 0700) << input;
        for (const std::string& path : files) {
            EXPECT_EQ(modeOf(path), c.changed == path ? 0755 : 0600) << input << " " << path;
        }
        EXPECT_TRUE(c.changed != repair || modeOf(repair) == 0755) << input;
    }
}

}  // namespace
}  // namespace tavelin
