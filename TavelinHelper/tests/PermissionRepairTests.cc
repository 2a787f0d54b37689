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
    const std::string loop = "Too many levels of symbolic links";
    struct Case {
        std::string path;
        std::string cwd;
        std::string message;
        std::string changed;  // must be 0755 afterwards; empty when nothing may change
    };
    const std::vector<Case> cases = {
        {"/Library/Caches/x", "/", "Rechte gesetzt: /Library/Caches/x", "/Library/Caches/x"},
        {"/Library/Application Support/./app", "/",
         "Rechte gesetzt: /Library/Application Support/./app", "/Library/Application Support/app"},
        {"/private/var/log/system.log", "/", "Rechte gesetzt: /private/var/log/system.log",
         "/private/var/log/system.log"},
        {"x", "/Library/Caches", "Rechte gesetzt: x", "/Library/Caches/x"},
        {"/Library/", "/", "Rechte gesetzt: /Library/", "/Library"},
        {"/Library/Caches/..", "/", "Rechte gesetzt: /Library/Caches/..", "/Library"},
        {"/Library", "/", refused, ""},
        {"/library/caches/x", "/", refused, ""},
        {"/etc/passwd", "/", refused, ""},
        {"/Library/../etc/passwd", "/", refused, ""},
        {"Library/Preferences/p", "/", refused, ""},
        {"", "/", refused, ""},
        {"/Library/Caches/missing", "/", "No such file or directory", ""},
        {"/Library/Caches/x/", "/", "Not a directory", ""},
        // Links are never followed, neither at the named path nor before it.
        {"/Library/Caches/linkToPasswd", "/", loop, ""},
        {"/Library/Preferences/linkToEtc/passwd", "/", loop, ""},
    };
    // The folder "app" (0700) is made before what is inside it.
    const std::vector<std::pair<std::string, mode_t>> planted = {
        {"/etc/passwd", 0600},
        {"/x", 0600},
        {"/Library/Caches/x", 0600},
        {"/Library/Application Support/app", 0700},
        {"/Library/Application Support/app/in", 0600},
        {"/private/var/log/system.log", 0640},
        {"/Library/Preferences/p", 0600}};
    for (const Case& c : cases) {
        ScratchTree tree;
        for (const auto& [path, mode] : planted) {
            if (mode == 0700) {
                tree.makeFolder(path, mode);
            } else {
                tree.writeFile(path, 1, mode);
            }
        }
        tree.makeLink(tree.real("/etc/passwd"), "/Library/Caches/linkToPasswd");
        tree.makeLink(tree.real("/etc"), "/Library/Preferences/linkToEtc");
        FsResult<ClientFileSystem> fs = ClientFileSystem::open(tree.root(), c.cwd);
        ASSERT_TRUE(fs.ok());
        const std::string input = "path: \"" + c.path + "\" cwd " + c.cwd;

        const PrivilegedResult result = repairPermissions(c.path, fs.value());

        EXPECT_EQ(result.success(), !c.changed.empty()) << input;
        EXPECT_EQ(result.message(), c.message) << input;
        EXPECT_EQ(result.freedBytes(), 0) << input;
        if (!c.changed.empty()) {
            EXPECT_EQ(tree.status(c.changed)->st_mode & 07777, 0755) << input;
        }
        for (const auto& [path, mode] : planted) {
            if (path != c.changed) {
                EXPECT_EQ(tree.status(path)->st_mode & 07777, mode) << input << " " << path;
            }
        }
    }
}

}  // namespace
}  // namespace tavelin
