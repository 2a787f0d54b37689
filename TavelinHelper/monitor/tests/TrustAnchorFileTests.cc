#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "TavelinHelper/monitor/TrustAnchorFile.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"

namespace tavelin {
namespace {

using testing::ScratchTree;

// The anchor is judged as it lies: who owns it and its folder, and who may write them.
TEST(TrustAnchorFileTest, OpensOnlyAnAnchorNoOneButItsOwnerCouldHaveWritten) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give files to other owners";
    }
    constexpr uid_t nobody = 65534;
    const struct {
        const char* name;
        uid_t fileOwner;
        mode_t fileMode;
        uid_t folderOwner;
        mode_t folderMode;
        std::optional<uid_t> developer;
        const char* refusalStart;  // nullptr: opened
    } cases[] = {
        {"root's, read-only for others", 0, 0644, 0, 0755, std::nullopt, nullptr},
        {"root's, private", 0, 0600, 0, 0700, std::nullopt, nullptr},
        {"writable by its group", 0, 0664, 0, 0755, std::nullopt, "trust anchor /"},
        {"writable by everyone", 0, 0666, 0, 0755, std::nullopt, "trust anchor /"},
        {"owned by nobody", nobody, 0644, 0, 0755, std::nullopt, "trust anchor /"},
        {"the developer's in a development build", nobody, 0644, nobody, 0700, nobody, nullptr},
        {"in a folder everyone may write", 0, 0644, 0, 0777, std::nullopt, "trust anchor folder /"},
        {"in a folder its group may write", 0, 0644, 0, 0775, std::nullopt,
         "trust anchor folder /"},
        {"in a folder owned by nobody", 0, 0644, nobody, 0755, std::nullopt,
         "trust anchor folder /"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            const ScratchTree tree;
            tree.makeFolder("/anchors", 0755);
            tree.writeFile("/anchors/anchor.pem", 64, 0644);
            const std::string folder = tree.real("/anchors");
            const std::string anchor = tree.real("/anchors/anchor.pem");
            ASSERT_EQ(::chown(anchor.c_str(), row.fileOwner, row.fileOwner), 0);
            ASSERT_EQ(::chmod(anchor.c_str(), row.fileMode), 0);
            ASSERT_EQ(::chown(folder.c_str(), row.folderOwner, row.folderOwner), 0);
            ASSERT_EQ(::chmod(folder.c_str(), row.folderMode), 0);

            const auto opened = openTrustAnchor(anchor, row.developer);
            if (row.refusalStart == nullptr) {
                ASSERT_TRUE(opened) << opened.error();
                struct stat status {};
                ASSERT_EQ(::fstat(opened->get(), &status), 0);
                EXPECT_EQ(status.st_size, 64);
            } else {
                ASSERT_FALSE(opened);
                EXPECT_EQ(opened.error().rfind(row.refusalStart, 0), 0U) << opened.error();
                EXPECT_NE(opened.error().find("must be owned by root and writable by no one else"),
                          std::string::npos)
                    << opened.error();
            }
        }();
    }
}

// A link is never followed to the anchor, and a folder in its place is no anchor.
TEST(TrustAnchorFileTest, RefusesALinkAFolderAndAMissingFile) {
    const ScratchTree tree;
    tree.makeFolder("/anchors", 0755);
    tree.writeFile("/real.pem", 64, 0644);
    tree.makeLink(tree.real("/real.pem"), "/anchors/link.pem");
    tree.makeFolder("/anchors/folder.pem", 0755);
    const std::optional<uid_t> developer = ::geteuid();
    const struct {
        const char* name;
        const char* refusalPart;
    } cases[] = {
        {"/anchors/link.pem", "Too many levels of symbolic links"},
        {"/anchors/folder.pem", "is not a regular file"},
        {"/anchors/missing.pem", "No such file or directory"},
    };
    for (const auto& [name, refusalPart] : cases) {
        SCOPED_TRACE(name);
        [&] {
            const auto opened = openTrustAnchor(tree.real(name), developer);
            ASSERT_FALSE(opened);
            EXPECT_NE(opened.error().find(refusalPart), std::string::npos) << opened.error();
        }();
    }
}

}  // namespace
}  // namespace tavelin
