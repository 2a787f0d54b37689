#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "ClientFileSystem.h"
#include "ScratchTree.h"

namespace tavelin {
namespace {

using testing::ScratchTree;

ClientFileSystem openAt(const ScratchTree& tree, const std::string& cwd = "/") {
    FsResult<ClientFileSystem> fs = ClientFileSystem::open(tree.root(), cwd);
    EXPECT_TRUE(fs.ok());
    return std::move(fs).value();
}

std::int64_t allocated(const ScratchTree& tree, const std::string& path) {
    return static_cast<std::int64_t>(tree.status(path)->st_blocks) * 512;
}

mode_t modeOf(const ScratchTree& tree, const std::string& path) {
    return tree.status(path)->st_mode & 07777;
}

// Outside every allowed area: a folder of "system" files the attacks aim at.
void plantVictim(const ScratchTree& tree) {
    tree.writeFile("/etc/passwd", 100, 0600);
    tree.writeFile("/etc/big/a", 8192);
    tree.writeFile("/etc/big/b", 8192);
}

TEST(ClientFileSystemOpen, RefusesMissingRootAndRelativeCurrentDirectory) {
    ScratchTree tree;
    const FsResult<ClientFileSystem> missing = ClientFileSystem::open(tree.root() + "/nope");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().errorNumber, ENOENT);
    const FsResult<ClientFileSystem> relative = ClientFileSystem::open(tree.root(), "Library");
    ASSERT_FALSE(relative.ok());
    EXPECT_EQ(relative.error().errorNumber, EINVAL);
}

TEST(ClientFileSystemPaths, JoinsRelativePathsToTheCurrentDirectory) {
    ScratchTree tree;
    const ClientFileSystem fs = openAt(tree, "/Library/Caches");
    EXPECT_EQ(fs.absolutePath("x"), "/Library/Caches/x");
    EXPECT_EQ(fs.absolutePath("/x"), "/x");
    EXPECT_EQ(fs.absolutePath("a/../b"), "/Library/Caches/a/../b");
    const ClientFileSystem atRoot = openAt(tree, "/");
    EXPECT_EQ(atRoot.absolutePath("Library/x"), "/Library/x");
}

TEST(ClientFileSystemMeasure, MeasuresLengthOrAllocatedSizeBelowAFolder) {
    ScratchTree tree;
    plantVictim(tree);
    tree.writeFile("/C/ten", 10);
    tree.writeFile("/C/empty", 0);
    tree.makeFolder("/C/emptyFolder");
    tree.writeFile("/C/folder/ten", 10);
    tree.writeFile("/C/nested/a/b/c", 5000);
    tree.writeFile("/C/nested/a/d", 1);
    tree.makeLink("/etc/big", "/C/nested/linkToBig");
    tree.makeLink("/etc/big", "/C/linkToBig");
    tree.makeLink("../etc/passwd", "/C/linkToFile");
    const ClientFileSystem fs = openAt(tree);

    struct Case {
        std::string path;
        std::int64_t expected;
    };
    const std::vector<Case> cases = {
        {"/C/missing", 0},
        {"/C/ten", 10},  // its length, not its allocated size
        {"/C/empty", 0},
        {"/C/emptyFolder", 0},
        {"/C/folder", allocated(tree, "/C/folder/ten")},
        {"/C/nested", tree.allocatedBelow("/C/nested")},  // subfolders and the link count
        {"/C/linkToBig", 8},                              // the link itself: "/etc/big"
        {"/C/linkToFile", 13},                            // "../etc/passwd"
        {"/C/ten/", 0},                                   // a trailing slash asks for a folder
        {"/C/linkToBig/", 0},
        {"/C/linkToBig/a", 0},  // a link in a parent component is not followed
        {"/../../C/ten", 10},   // ".." stops at the root
        {"", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fs.measure(c.path), c.expected) << "path: " << c.path;
    }
    EXPECT_GT(allocated(tree, "/C/folder/ten"), 10);
}

TEST(ClientFileSystemMeasure, RelativePathIsMeasuredAtTheCurrentDirectory) {
    ScratchTree tree;
    tree.writeFile("/Library/Caches/x", 7);
    tree.writeFile("/x", 3);
    EXPECT_EQ(openAt(tree, "/Library/Caches").measure("x"), 7);
    EXPECT_EQ(openAt(tree, "/Library/Caches/").measure("x"), 7);
    EXPECT_EQ(openAt(tree, "/").measure("x"), 3);
}

TEST(ClientFileSystemRemove, RemovesItemsAndNeverFollowsLinks) {
    struct Case {
        std::string path;
        int expectedError;           // 0 for success
        std::string goneAfterwards;  // checked only on success
    };
    const std::vector<Case> cases = {
        {"/C/file", 0, "/C/file"},
        {"/C/folder", 0, "/C/folder"},
        {"/C/folder/", 0, "/C/folder"},
        {"/C/linkToBig", 0, "/C/linkToBig"},
        {"/C/linkToFile", 0, "/C/linkToFile"},
        {"/C/linkToBig/a", ELOOP, ""},  // a link as a parent component
        {"/C/linkToBig/", ENOTDIR, ""},
        {"/C/file/", ENOTDIR, ""},
        {"/C/missing", ENOENT, ""},
        {"/C/folder/.", EINVAL, ""},
        {"", ENOENT, ""},
    };
    for (const Case& c : cases) {
        ScratchTree tree;
        plantVictim(tree);
        tree.writeFile("/C/file", 10);
        tree.writeFile("/C/folder/sub/x", 100);
        tree.makeLink("/etc/big", "/C/linkToBig");
        tree.makeLink("/etc/passwd", "/C/linkToFile");
        tree.makeLink("/etc/big", "/C/folder/sub/inner");
        const ClientFileSystem fs = openAt(tree);

        const FsStatus status = fs.remove(c.path);
        if (c.expectedError == 0) {
            EXPECT_TRUE(status.ok()) << "path: " << c.path << ": " << status.error().text();
            EXPECT_FALSE(tree.exists(c.goneAfterwards)) << "path: " << c.path;
        } else {
            ASSERT_FALSE(status.ok()) << "path: " << c.path;
            EXPECT_EQ(status.error().errorNumber, c.expectedError)
                << "path: " << c.path << ": " << status.error().text();
        }
        EXPECT_EQ(tree.countFiles("/etc"), 3) << "path: " << c.path;
        EXPECT_EQ(modeOf(tree, "/etc/passwd"), 0600) << "path: " << c.path;
        EXPECT_TRUE(tree.exists("/C/file") || c.path == "/C/file") << "path: " << c.path;
    }
}

TEST(ClientFileSystemRemove, RelativePathIsRemovedAtTheCurrentDirectoryInsideTheRoot) {
    ScratchTree tree;
    tree.writeFile("/Library/Caches/x", 7);
    tree.writeFile("/x", 3);
    const ClientFileSystem fs = openAt(tree, "/Library/Caches");
    EXPECT_TRUE(fs.remove("x").ok());
    EXPECT_FALSE(tree.exists("/Library/Caches/x"));
    EXPECT_TRUE(tree.exists("/x"));

    // ".." never climbs out of the root: "/../x" is the root's own x.
    ScratchTree outer;
    outer.writeFile("/x", 1);
    const ClientFileSystem nested = openAt(tree);
    EXPECT_TRUE(nested.remove("/../../../x").ok());
    EXPECT_FALSE(tree.exists("/x"));
}

TEST(ClientFileSystemRemove, SinglePassGivesWhatMeasureThenRemoveGives) {
    auto build = [](const ScratchTree& tree) {
        for (int folder = 0; folder < 5; ++folder) {
            for (int file = 0; file < 7; ++file) {
                const std::string name =
                    "/T/d" + std::to_string(folder) + "/s/f" + std::to_string(file);
                tree.writeFile(name, static_cast<std::size_t>(folder) * 1000 +
                                         static_cast<std::size_t>(file) * 37);
            }
        }
        tree.makeFolder("/T/empty");
        tree.makeLink("/nowhere", "/T/d1/link");
        tree.writeFile("/F", 1234);
    };
    ScratchTree separate;
    ScratchTree single;
    build(separate);
    build(single);
    const ClientFileSystem separateFs = openAt(separate);
    const ClientFileSystem singleFs = openAt(single);
    for (const std::string path : {"/T", "/F", "/T/"}) {
        const std::int64_t measured = separateFs.measure(path);
        const FsStatus removed = separateFs.remove(path);
        const FsResult<std::int64_t> both = singleFs.measureAndRemove(path);
        EXPECT_EQ(removed.ok(), both.ok()) << "path: " << path;
        if (both.ok()) {
            EXPECT_EQ(both.value(), measured) << "path: " << path;
        }
    }
    EXPECT_FALSE(single.exists("/T"));
    EXPECT_FALSE(single.exists("/F"));
}

TEST(ClientFileSystemPermissions, ChangesTheItemAloneAndRefusesLinks) {
    struct Case {
        std::string path;
        int expectedError;
        std::string changed;  // the item that must be 0755 afterwards on success
    };
    const std::vector<Case> cases = {
        {"/L/file", 0, "/L/file"},          {"/L/folder", 0, "/L/folder"},
        {"/L/folder/", 0, "/L/folder"},     {"/L/linkToPasswd", ELOOP, ""},
        {"/L/linkToEtc/passwd", ELOOP, ""}, {"/L/missing", ENOENT, ""},
        {"/L/file/", ENOTDIR, ""},
    };
    for (const Case& c : cases) {
        ScratchTree tree;
        plantVictim(tree);
        tree.writeFile("/L/file", 1, 0600);
        tree.makeFolder("/L/folder", 0700);
        tree.writeFile("/L/folder/inner", 1, 0600);
        tree.makeLink("/etc/passwd", "/L/linkToPasswd");
        tree.makeLink("/etc", "/L/linkToEtc");
        const ClientFileSystem fs = openAt(tree);

        const FsStatus status = fs.setPermissions(c.path, 0755);
        if (c.expectedError == 0) {
            EXPECT_TRUE(status.ok()) << "path: " << c.path << ": " << status.error().text();
            EXPECT_EQ(modeOf(tree, c.changed), 0755) << "path: " << c.path;
        } else {
            ASSERT_FALSE(status.ok()) << "path: " << c.path;
            EXPECT_EQ(status.error().errorNumber, c.expectedError) << "path: " << c.path;
        }
        EXPECT_EQ(modeOf(tree, "/etc/passwd"), 0600) << "path: " << c.path;
        EXPECT_EQ(modeOf(tree, "/L/folder/inner"), 0600) << "path: " << c.path;
    }
}

}  // namespace
}  // namespace tavelin
