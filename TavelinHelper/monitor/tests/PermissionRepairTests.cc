#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "PermissionRepair.h"
#include "ScratchTree.h"

namespace tavelin {
namespace {

using testing::ScratchTree;

TEST(RepairPermissions, AdmitsTheAllowedAreasAndSetsTheItemAloneTo0755) {
    const std::string refused = "Pfad au\u00dferhalb der zul\u00e4ssigen Bereiche";
    const std::string app = "/Library/Application Support/app";  // a folder, mode 0700
    struct Case {
        std::string path;
        std::string cwd;
        std::string changed;  // set to 0755 ("Rechte gesetzt: <path>"), or empty when refused
        std::string message;  // when refused
    };
    const std::vector<Case> cases = {
        {"/Library/Caches/x", "/", "/Library/Caches/x", ""},
        {"/Library/Application Support/./app", "/", app, ""},
        {"/private/var/log/system.log", "/", "/private/var/log/system.log", ""},
        {"x", "/Library/Caches", "/Library/Caches/x", ""},
        {"/Library/", "/", "/Library", ""},
        {"/Library/Caches/..", "/", "/Library", ""},
        {"/Library", "/", "", refused},
        {"/library/caches/x", "/", "", refused},
        {"/etc/passwd", "/", "", refused},
        {"/Library/../etc/passwd", "/", "", refused},
        {"Library/Preferences/p", "/", "", refused},
        {"", "/", "", refused},
        {"/Library/Caches/missing", "/", "", "No such file or directory"},
        {"/Library/Caches/x/", "/", "", "Not a directory"},
        // Links are never followed, neither at the named path nor before it.
        {"/Library/Caches/linkToPasswd", "/", "", "Too many levels of symbolic links"},
        {"/Library/Preferences/linkToEtc/passwd", "/", "", "Too many levels of symbolic links"},
    };
    const std::vector<std::string> files = {"/etc/passwd",
                                            "/x",
                                            "/Library/Caches/x",
                                            app + "/in",
                                            "/private/var/log/system.log",
                                            "/Library/Preferences/p"};
    for (const Case& c : cases) {
        ScratchTree tree;
        tree.makeFolder(app, 0700);
        for (const std::string& path : files) {
            tree.writeFile(path, 1, 0600);
        }
        tree.makeLink(tree.real("/etc/passwd"), "/Library/Caches/linkToPasswd");
        tree.makeLink(tree.real("/etc"), "/Library/Preferences/linkToEtc");
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
        EXPECT_TRUE(c.changed != "/Library" || modeOf("/Library") == 0755) << input;
    }
}

}  // namespace
}  // namespace tavelin
