#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "ClientFileSystem.h"
#include "ScratchTree.h"

namespace tavelin {
namespace {

using testing::ScratchTree;

constexpr int rounds = 2000;
constexpr int sentinelFiles = 12;

// Exchanges two names of one folder atomically: a real folder and a link to the sentinel.
bool exchange(int folderFd, const char* first, const char* second) {
    return ::renameat2(folderFd, first, folderFd, second, RENAME_EXCHANGE) == 0;
}

// Another thread keeps swapping folders inside the tree being removed for links to a
// sentinel folder outside it, while the tree is measured and removed. Whatever the
// interleaving, the removal may fail but must never reach into the sentinel.
TEST(SymlinkRace, SwappingFoldersForLinksNeverReachesOutsideTheTree) {
    ScratchTree tree;
    for (int i = 0; i < sentinelFiles - 1; ++i) {
        tree.writeFile("/outside/sentinel/s" + std::to_string(i), 100);
    }
    tree.writeFile("/outside/sentinel/nested/deeper", 100);
    const std::string sentinel = tree.real("/outside/sentinel");
    FsResult<ClientFileSystem> opened = ClientFileSystem::open(tree.root());
    ASSERT_TRUE(opened.ok());
    const ClientFileSystem& fs = opened.value();

    std::mutex swapLock;  // held by the swapper around each exchange
    std::atomic<bool> active{false};
    std::atomic<bool> stop{false};
    std::atomic<int> treeFd{-1};
    std::atomic<int> subFd{-1};
    std::atomic<long> swaps{0};
    std::thread swapper([&] {
        while (!stop.load()) {
            const std::lock_guard<std::mutex> lock(swapLock);
            if (!active.load()) {
                continue;
            }
            swaps += exchange(treeFd.load(), "sub", "link") ? 1 : 0;
            swaps += exchange(subFd.load(), "inner", "innerLink") ? 1 : 0;
        }
    });
    auto pauseSwapper = [&] {
        active = false;
        const std::lock_guard<std::mutex> lock(swapLock);
    };

    int removals = 0;
    for (int round = 0; round < rounds; ++round) {
        tree.writeFile("/Library/Caches/t/sub/inner/g", 10);
        for (int i = 0; i < 4; ++i) {
            tree.writeFile("/Library/Caches/t/sub/f" + std::to_string(i), 10);
        }
        tree.makeLink(sentinel, "/Library/Caches/t/link");
        tree.makeLink(sentinel, "/Library/Caches/t/sub/innerLink");
        UniqueFd t(::open(tree.real("/Library/Caches/t").c_str(), O_PATH | O_CLOEXEC));
        UniqueFd sub(::open(tree.real("/Library/Caches/t/sub").c_str(), O_PATH | O_CLOEXEC));
        treeFd = t.get();
        subFd = sub.get();

        active = true;
        removals += fs.measureAndRemove("/Library/Caches/t").ok() ? 1 : 0;
        pauseSwapper();

        ASSERT_EQ(tree.countFiles("/outside/sentinel"), sentinelFiles) << "round " << round;
        if (tree.exists("/Library/Caches/t") && !fs.remove("/Library/Caches/t").ok()) {
            ASSERT_TRUE(testing::removeWithRm(tree.real("/Library/Caches/t")));
        }
    }
    stop = true;
    swapper.join();
    EXPECT_EQ(tree.countFiles("/outside/sentinel"), sentinelFiles);
    EXPECT_TRUE(tree.exists("/outside/sentinel/nested/deeper"));
    std::printf("swaps %ld, removals that succeeded %d of %d\n", swaps.load(), removals, rounds);
}

}  // namespace
}  // namespace tavelin
