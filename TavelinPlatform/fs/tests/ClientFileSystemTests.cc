#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "ClientFileSystem.h"
#include "ScratchTree.h"

namespace tavelin {
namespace {

using testing::ScratchTree;

// /etc stands for everything outside the allowed areas: what the links aim at.
ClientFileSystem plant(const ScratchTree& tree) {
    tree.writeFile("/etc/passwd", 100, 0600);
    tree.writeFile("/etc/big/a", 8192);
    tree.writeFile("/C/ten", 10);
    tree.makeFolder("/C/emptyFolder");
    tree.writeFile("/C/folder/sub/x", 5000);
    tree.makeLink("/etc/big", "/C/folder/sub/inner");
    tree.makeLink("/etc/big", "/C/linkToBig");
    FsResult<ClientFileSystem> fs = ClientFileSystem::open(tree.root(), "/");
    EXPECT_TRUE(fs.ok());
    return std::move(fs).value();
}

TEST(ClientFileSystemMeasure, MeasuresLengthOrAllocatedSizeBelowAFolder) {
    ScratchTree tree;
    const ClientFileSystem fs = plant(tree);
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"/C/missing", 0},
        {"/C/ten", 10},  // its length, not its allocated size
        {"/C/emptyFolder", 0},
        {"/C/folder", tree.allocatedBelow("/C/folder")},  // subfolders and the link itself
        {"/C/linkToBig", 8},                              // the link's own length: "/etc/big"
        {"/C/ten/", 0},                                   // a trailing slash asks for a folder
        {"/C/linkToBig/", 0},
        {"/C/linkToBig/a", 0},  // a link in a parent component is not followed
        {"/../../C/ten", 10},   // ".." stops at the root
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(fs.measure(path), expected) << "path: " << path;
    }
}

TEST(ClientFileSystemRemove, RemovesItemsAndNeverFollowsLinks) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"/C/ten", 0},
        {"/C/folder/", 0},  // holds a link to /etc/big
        {"/C/linkToBig", 0},
        {"/C/linkToBig/a", ELOOP},  // a link as a parent component
        {"/C/linkToBig/", ENOTDIR},
        {"/C/ten/", ENOTDIR},
        {"/C/missing", ENOENT},
        {"/C/folder/.", EINVAL},
        {"", ENOENT},
    };
    for (const auto& [path, expectedError] : cases) {
        ScratchTree tree;
        const ClientFileSystem fs = plant(tree);
        const FsStatus status = fs.remove(path);
        EXPECT_EQ(status.ok() ? 0 : status.error().errorNumber, expectedError) << "path: " << path;
        EXPECT_TRUE(expectedError != 0 || !tree.exists(path)) << "path: " << path;
        EXPECT_EQ(tree.exists("/C/ten"), path != "/C/ten") << "path: " << path;
        EXPECT_EQ(tree.countFiles("/etc"), 2) << "path: " << path;
        EXPECT_EQ(tree.status("/etc/passwd")->st_mode & 07777, 0600) << "path: " << path;
    }
}

}  // namespace
}  // namespace tavelin
