#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "PermissionRepair.h"
#include "ScratchTree.h"

namespace tavelin {
namespace {

using testing::ScratchTree;

const std::string refused = "Pfad au\u00dferhalb der zul\u00e4ssigen Bereiche";

mode_t modeOf(const ScratchTree& tree, const std::string& path) {
    return tree.status(path)->st_mode & 07777;
}

TEST(RepairPermissions, AdmitsTheAllowedAreasAndSetsTheItemAloneTo0755) {
    struct Case {
        std::string path;
        std::string cwd;
        bool success;
        std::string message;
        std::string changed;  // must be 0755 afterwards; empty when nothing may change
    };
    const std::vector<Case> cases = {
        {"/Library/Caches/x", "/", true, "Rechte gesetzt: /Library/Caches/x", "/Library/Caches/x"},
        {"/Library/Application Support/app", "/", true,
         "Rechte gesetzt: /Library/Application Support/app", "/Library/Application Support/app"},
        {"/Library/Application Support/./app", "/", true,
         "Rechte gesetzt: /Library/Application Support/./app", "/Library/Application Support/app"},
        {"/private/var/log/system.log", "/", true, "Rechte gesetzt: /private/var/log/system.log",
         "/private/var/log/system.log"},
        {"x", "/Library/Caches", true, "Rechte gesetzt: x", "/Library/Caches/x"},
        {"/Library", "/", false, refused, ""},
        {"/Library/", "/", true, "Rechte gesetzt: /Library/", "/Library"},
        {"/Library/Caches/..", "/", true, "Rechte gesetzt: /Library/Caches/..", "/Library"},
        {"/library/caches/x", "/", false, refused, ""},
        {"/etc/passwd", "/", false, refused, ""},
        {"/Library/../etc/passwd", "/", false, refused, ""},
        {"/Library/Caches/../../etc/passwd", "/", false, refused, ""},
        {"Library/Preferences/p", "/", false, refused, ""},
        {"x", "/", false, refused, ""},
        {"", "/", false, refused, ""},
        {"/Library/Caches/missing", "/", false, "No such file or directory", ""},
        {"/Library/Caches/x/", "/", false, "Not a directory", ""},
        // Links are never followed, neither at the named path nor before it.
        {"/Library/Caches/linkToPasswd", "/", false, "Too many levels of symbolic links", ""},
        {"/Library/Preferences/linkToEtc/passwd", "/", false, "Too many levels of symbolic links",
         ""},
    };
    for (const Case& c : cases) {
        ScratchTree tree;
        tree.writeFile("/etc/passwd", 100, 0600);
        tree.writeFile("/x", 1, 0600);
        tree.writeFile("/Library/Caches/x", 1, 0600);
        tree.makeFolder("/Library/Application Support/app", 0700);
        tree.writeFile("/Library/Application Support/app/inner", 1, 0600);
        tree.writeFile("/private/var/log/system.log", 1, 0640);
        tree.writeFile("/Library/Preferences/p", 1, 0600);
        tree.makeLink(tree.real("/etc/passwd"), "/Library/Caches/linkToPasswd");
        tree.makeLink(tree.real("/etc"), "/Library/Preferences/linkToEtc");
        FsResult<ClientFileSystem> fs = ClientFileSystem::open(tree.root(), c.cwd);
        ASSERT_TRUE(fs.ok());
        const std::string input = "path: \"" + c.path + "\" cwd " + c.cwd;

        const PrivilegedResult result = repairPermissions(c.path, fs.value());

        EXPECT_EQ(result.success(), c.success) << input;
        EXPECT_EQ(result.message(), c.message) << input;
        EXPECT_EQ(result.freedBytes(), 0) << input;
        if (!c.changed.empty()) {
            EXPECT_EQ(modeOf(tree, c.changed), 0755) << input;
        }
        EXPECT_EQ(modeOf(tree, "/etc/passwd"), 0600) << input;
        EXPECT_EQ(modeOf(tree, "/x"), 0600) << input;
        EXPECT_EQ(modeOf(tree, "/Library/Application Support/app/inner"), 0600) << input;
        EXPECT_EQ(modeOf(tree, "/Library/Preferences/p"), 0600) << input;
        if (c.changed != "/Library/Caches/x") {
            EXPECT_EQ(modeOf(tree, "/Library/Caches/x"), 0600) << input;
        }
    }
}

}  // namespace
}  // namespace tavelin
