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
#include <optional>
#include <string>

#include "ClientFileSystem.h"
#include "ScratchTree.h"
#include "TreeWalk.h"

namespace tavelin {
namespace {

using testing::ScratchTree;

UniqueFd openFolder(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

ClientFileSystem openRoot(const ScratchTree& tree) {
    FsResult<ClientFileSystem> fs = ClientFileSystem::open(tree.root());
    EXPECT_TRUE(fs.ok());
    return std::move(fs).value();
}

// The measured size, then what measureAndRemove answered: its bytes or its errno.
std::string measureThenRemove(const ClientFileSystem& fs, const std::string& path) {
    const std::int64_t measured = fs.measure(path);
    const FsResult<std::int64_t> removed = fs.measureAndRemove(path);
    return std::to_string(measured) + " " +
           std::to_string(removed ? removed.value() : -removed.error().errorNumber);
}

TEST(TreeWalkDeep, MeasuresAndRemovesHundredThousandLevelsWithFewDescriptors) {
    // A chain "d/d/d/..." far longer than PATH_MAX, built through handles, with a file at
    // the bottom; the walk must count every folder and the file.
    ScratchTree tree;
    tree.makeFolder("/Library/Caches/deep");
    UniqueFd current = openFolder(tree.real("/Library/Caches/deep"));
    std::int64_t expected = 0;
    struct stat status {};
    for (int level = 0; level < 100000; ++level) {
        ASSERT_EQ(::mkdirat(current.get(), "d", 0755), 0) << "level " << level;
        current.reset(::openat(current.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ::fstat(current.get(), &status);
        expected += status.st_blocks * 512;
    }
    // Handles left open would pin the chain and make every rmdir slow.
    current.reset(::openat(current.get(), "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(::write(current.get(), "bottom", 6), 6);
    ::fstat(current.get(), &status);
    expected += status.st_blocks * 512;
    current.reset(-1);
    const ClientFileSystem fs = openRoot(tree);

    // A walk that kept one handle per level would fail with EMFILE long before the bottom.
    const std::optional<std::string> answer = testing::runInChild([&fs] {
        const rlimit limit{64, 64};
        return ::setrlimit(RLIMIT_NOFILE, &limit) == 0
                   ? measureThenRemove(fs, "/Library/Caches/deep")
                   : std::string("setrlimit failed");
    });
    EXPECT_EQ(answer, std::to_string(expected) + " " + std::to_string(expected));
    EXPECT_FALSE(tree.exists("/Library/Caches/deep"));
}

TEST(TreeWalkDeep, HandlesClosedAndReopenedThroughParentGiveTheSameAnswer) {
    // With room for one or two handles only, every climb back up re-opens the parent
    // through "..", which must land on the remembered folder.
    for (std::size_t maxOpen : {std::size_t{1}, std::size_t{2}, defaultMaxOpenFolders}) {
        ScratchTree tree;
        for (int i = 0; i < 36; ++i) {
            const std::string top = "/t/" + std::to_string(i / 9);
            tree.writeFile(top + "/" + std::to_string(i / 3 % 3) + "/" + std::to_string(i % 3),
                           static_cast<std::size_t>(i) * 97);
            if (i % 9 == 8) {
                tree.makeFolder(top + "/empty");
            }
        }
        const std::int64_t expected = tree.allocatedBelow("/t");
        const TreeWalkResult measured =
            walkTree(openFolder(tree.real("/t")), WalkMode::measure, maxOpen);
        const TreeWalkResult removed =
            walkTree(openFolder(tree.real("/t")), WalkMode::remove, maxOpen);
        EXPECT_FALSE(measured.error.has_value() || removed.error.has_value()) << maxOpen;
        EXPECT_EQ(measured.bytes, expected) << "maxOpen " << maxOpen;
        EXPECT_EQ(removed.bytes, expected) << "maxOpen " << maxOpen;
        EXPECT_EQ(tree.countFiles("/t"), 0) << "maxOpen " << maxOpen;
        EXPECT_TRUE(tree.exists("/t")) << "the top folder is the caller's to remove";
    }
}

TEST(TreeWalkUnreadable, MeasureSkipsUnreadableContentsAndRemovalStopsThere) {
    // As "nobody": the contents of "closed" can be neither counted nor removed (its own
    // size counts), while an empty unreadable folder can still be removed.
    ScratchTree tree;
    tree.writeFile("/w/t/readable/a", 3000);
    tree.writeFile("/w/t/closed/hidden", 9000);
    tree.writeFile("/w/e/a", 3000);
    tree.makeFolder("/w/e/closedEmpty");
    ASSERT_EQ(std::system(("chmod -R a+rwX " + tree.real("/w")).c_str()), 0);
    ASSERT_EQ(::chmod(tree.real("/w/t/closed").c_str(), 0), 0);
    ASSERT_EQ(::chmod(tree.real("/w/e/closedEmpty").c_str(), 0), 0);
    const std::int64_t visible = tree.allocatedBelow("/w/t") - tree.allocatedBelow("/w/t/closed");
    const std::string empty = std::to_string(tree.allocatedBelow("/w/e"));
    const ClientFileSystem fs = openRoot(tree);

    const std::optional<std::string> answer = testing::runInChild(
        [&fs] { return measureThenRemove(fs, "/w/t") + " " + measureThenRemove(fs, "/w/e"); },
        true);
    EXPECT_EQ(answer, std::to_string(visible) + " " + std::to_string(-EACCES) + " " + empty +
                          " " + empty);
    EXPECT_TRUE(tree.exists("/w/t/closed/hidden"));
    EXPECT_FALSE(tree.exists("/w/e"));
}

TEST(TreeWalkMounts, NeverEntersAnotherFileSystemMountedInsideTheTree) {
    // A file system mounted below a cache folder (a bind mount of "/", say) must neither be
    // counted nor emptied. The mount lives in a private mount namespace of a child.
    ScratchTree tree;
    tree.writeFile("/t/a", 3000);
    tree.makeFolder("/t/mnt");
    const ClientFileSystem fs = openRoot(tree);
    const std::string mountPoint = tree.real("/t/mnt");
    const std::optional<std::string> answer = testing::runInChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", mountPoint.c_str(), "tmpfs", 0, nullptr) != 0) {
            return std::string("no mount");
        }
        const UniqueFd inside(
            ::open((mountPoint + "/inside").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        if (::write(inside.get(), "data", 4) != 4) {
            return std::string("unwritten");
        }
        struct stat file {};
        struct stat mounted {};
        ::stat(tree.real("/t/a").c_str(), &file);
        ::stat(mountPoint.c_str(), &mounted);
        const bool measuredRight = fs.measure("/t") == (file.st_blocks + mounted.st_blocks) * 512;
        const FsResult<std::int64_t> removed = fs.measureAndRemove("/t");
        return std::string(measuredRight ? "measured " : "mismeasured ") +
               (removed ? "removed" : std::to_string(removed.error().errorNumber)) +
               (::access((mountPoint + "/inside").c_str(), F_OK) == 0 ? " kept" : " lost");
    });
    if (answer == "no mount") {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    EXPECT_EQ(answer, "measured " + std::to_string(EBUSY) + " kept");
}

}  // namespace
}  // namespace tavelin
