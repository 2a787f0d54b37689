#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "ClientFileSystem.h"
#include "ScratchTree.h"
#include "TreeWalk.h"

namespace tavelin {
namespace {

using testing::ScratchTree;

constexpr int deepLevels = 100000;

UniqueFd openFolder(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// A chain of `levels` folders "d/d/d/..." below `top`, a small file at the bottom, built
// through handles because the path is far longer than PATH_MAX. Answers what the walk
// must count: the allocated size of every folder and of the file.
std::int64_t buildChain(const std::string& top, int levels) {
    UniqueFd current = openFolder(top);
    std::int64_t expected = 0;
    for (int level = 0; level < levels; ++level) {
        if (::mkdirat(current.get(), "d", 0755) != 0) {
            ADD_FAILURE() << "mkdirat at level " << level << ": " << std::strerror(errno);
            return -1;
        }
        current.reset(::openat(current.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat status {};
        ::fstat(current.get(), &status);
        expected += static_cast<std::int64_t>(status.st_blocks) * 512;
    }
    const UniqueFd file(::openat(current.get(), "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    EXPECT_EQ(::write(file.get(), "bottom", 6), 6);
    struct stat status {};
    ::fstat(file.get(), &status);
    return expected + static_cast<std::int64_t>(status.st_blocks) * 512;
}

// Sets a low descriptor limit in a child so a walk that kept one handle per level would
// fail with EMFILE long before the bottom.
std::optional<std::string> inChildWithFewDescriptors(const std::function<std::string()>& work) {
    return testing::runInChild([&work] {
        const rlimit limit{64, 64};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return std::string("setrlimit failed");
        }
        return work();
    });
}

TEST(TreeWalkDeep, MeasuresAndRemovesHundredThousandLevelsWithFewDescriptors) {
    ScratchTree tree;
    tree.makeFolder("/Library/Caches/deep");
    const std::int64_t expected = buildChain(tree.real("/Library/Caches/deep"), deepLevels);
    ASSERT_GT(expected, 0);
    FsResult<ClientFileSystem> fs = ClientFileSystem::open(tree.root());
    ASSERT_TRUE(fs.ok());

    const std::optional<std::string> answer = inChildWithFewDescriptors([&fs] {
        const std::int64_t measured = fs.value().measure("/Library/Caches/deep");
        const FsResult<std::int64_t> removed = fs.value().measureAndRemove("/Library/Caches/deep");
        return std::to_string(measured) + " " +
               (removed ? std::to_string(removed.value()) : removed.error().text());
    });
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, std::to_string(expected) + " " + std::to_string(expected));
    EXPECT_FALSE(tree.exists("/Library/Caches/deep"));
}

TEST(TreeWalkDeep, HandlesClosedAndReopenedThroughParentGiveTheSameAnswer) {
    // A bushy tree walked with room for one or two handles only: every climb back up
    // re-opens the parent through "..", which must land on the remembered folder.
    auto build = [](const ScratchTree& tree) {
        for (int a = 0; a < 4; ++a) {
            for (int b = 0; b < 3; ++b) {
                for (int c = 0; c < 3; ++c) {
                    tree.writeFile("/t/" + std::to_string(a) + "/" + std::to_string(b) + "/" +
                                       std::to_string(c) + "/f",
                                   static_cast<std::size_t>(a) * 100 +
                                       static_cast<std::size_t>(b) * 10 +
                                       static_cast<std::size_t>(c));
                }
            }
            tree.makeFolder("/t/" + std::to_string(a) + "/empty");
        }
    };
    for (std::size_t maxOpen : {std::size_t{1}, std::size_t{2}, defaultMaxOpenFolders}) {
        ScratchTree tree;
        build(tree);
        const std::int64_t expected = tree.allocatedBelow("/t");
        const TreeWalkResult measured =
            walkTree(openFolder(tree.real("/t")), WalkMode::measure, maxOpen);
        EXPECT_FALSE(measured.error.has_value()) << "maxOpen " << maxOpen;
        EXPECT_EQ(measured.bytes, expected) << "maxOpen " << maxOpen;
        const TreeWalkResult removed =
            walkTree(openFolder(tree.real("/t")), WalkMode::remove, maxOpen);
        EXPECT_FALSE(removed.error.has_value()) << "maxOpen " << maxOpen;
        EXPECT_EQ(removed.bytes, expected) << "maxOpen " << maxOpen;
        EXPECT_EQ(tree.countFiles("/t"), 0) << "maxOpen " << maxOpen;
        EXPECT_TRUE(tree.exists("/t")) << "the top folder is the caller's to remove";
    }
}

TEST(TreeWalkUnreadable, MeasureSkipsUnreadableFoldersAndRemovalFailsWithoutBytes) {
    ScratchTree tree;
    tree.writeFile("/w/t/readable/a", 3000);
    tree.writeFile("/w/t/closed/hidden", 9000);
    tree.writeFile("/w/t/locked/kept", 10);
    tree.makeFolder("/w/t/closedEmpty");
    ASSERT_EQ(std::system(("chmod -R a+rwX " + tree.real("/w")).c_str()), 0);
    ASSERT_EQ(::chmod(tree.real("/w/t/closed").c_str(), 0), 0);
    ASSERT_EQ(::chmod(tree.real("/w/t/closedEmpty").c_str(), 0), 0);
    ASSERT_EQ(::chmod(tree.real("/w/t/locked").c_str(), 0555), 0);
    // What "nobody" can see: everything but the contents of "closed" (the folder's own
    // size counts, its contents do not).
    const std::int64_t expected = tree.allocatedBelow("/w/t") - tree.allocatedBelow("/w/t/closed");

    FsResult<ClientFileSystem> fs = ClientFileSystem::open(tree.root());
    ASSERT_TRUE(fs.ok());
    const std::optional<std::string> answer = testing::runAsNobody([&fs] {
        const std::int64_t measured = fs.value().measure("/w/t");
        const FsResult<std::int64_t> removed = fs.value().measureAndRemove("/w/t");
        return std::to_string(measured) + " " +
               (removed ? "removed" : std::to_string(removed.error().errorNumber));
    });
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, std::to_string(expected) + " " + std::to_string(EACCES));
    EXPECT_TRUE(tree.exists("/w/t/closed/hidden"));
    EXPECT_TRUE(tree.exists("/w/t/locked/kept"));
}

TEST(TreeWalkUnreadable, EmptyUnreadableFolderCountsItselfAndCanBeRemoved) {
    ScratchTree tree;
    tree.writeFile("/w/t/a", 3000);
    tree.makeFolder("/w/t/closedEmpty");
    ASSERT_EQ(std::system(("chmod -R a+rwX " + tree.real("/w")).c_str()), 0);
    ASSERT_EQ(::chmod(tree.real("/w/t/closedEmpty").c_str(), 0), 0);
    const std::int64_t expected = tree.allocatedBelow("/w/t");
    FsResult<ClientFileSystem> fs = ClientFileSystem::open(tree.root());
    ASSERT_TRUE(fs.ok());
    const std::optional<std::string> answer = testing::runAsNobody([&fs] {
        const std::int64_t measured = fs.value().measure("/w/t");
        const FsResult<std::int64_t> removed = fs.value().measureAndRemove("/w/t");
        return std::to_string(measured) + " " +
               (removed ? std::to_string(removed.value()) : removed.error().text());
    });
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, std::to_string(expected) + " " + std::to_string(expected));
    EXPECT_FALSE(tree.exists("/w/t"));
}

TEST(TreeWalkMounts, NeverEntersAnotherFileSystemMountedInsideTheTree) {
    // A file system mounted below a cache folder (a bind mount of "/", say) must neither be
    // counted nor emptied. The mount lives in a private mount namespace of a child.
    ScratchTree tree;
    tree.writeFile("/t/a", 3000);
    tree.makeFolder("/t/mnt");
    FsResult<ClientFileSystem> fs = ClientFileSystem::open(tree.root());
    ASSERT_TRUE(fs.ok());
    const std::string mountPoint = tree.real("/t/mnt");
    const std::optional<std::string> answer = testing::runInChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", mountPoint.c_str(), "tmpfs", 0, nullptr) != 0) {
            return std::string("no mount");
        }
        const int fd =
            ::open((mountPoint + "/inside").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const bool written = fd >= 0 && ::write(fd, "data", 4) == 4;
        ::close(fd);
        struct stat file {};
        struct stat mounted {};
        ::stat(tree.real("/t/a").c_str(), &file);
        ::stat(mountPoint.c_str(), &mounted);
        const std::int64_t expected =
            static_cast<std::int64_t>(file.st_blocks + mounted.st_blocks) * 512;
        const bool measuredRight = fs.value().measure("/t") == expected;
        const FsResult<std::int64_t> removed = fs.value().measureAndRemove("/t");
        const bool insideKept = ::access((mountPoint + "/inside").c_str(), F_OK) == 0;
        return std::string(written ? "written" : "unwritten") +
               (measuredRight ? " measured" : " mismeasured") +
               (removed ? " removed" : " " + std::to_string(removed.error().errorNumber)) +
               (insideKept ? " kept" : " lost");
    });
    ASSERT_TRUE(answer.has_value());
    if (*answer == "no mount") {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    EXPECT_EQ(*answer, "written measured " + std::to_string(EBUSY) + " kept");
}

}  // namespace
}  // namespace tavelin
