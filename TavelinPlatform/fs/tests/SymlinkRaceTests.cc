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
constexpr int swappedPairs = 8;  // folders inside "sub", each with a link partner

// Exchanges two names of one folder atomically: a real folder and a link to the sentinel.
long exchange(int folderFd, const std::string& first, const std::string& second) {
    return ::renameat2(folderFd, first.c_str(), folderFd, second.c_str(), RENAME_EXCHANGE) == 0;
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
    const FsResult<ClientFileSystem> fs = ClientFileSystem::open(tree.root());
    ASSERT_TRUE(fs.ok());

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
            swaps += exchange(treeFd.load(), "sub", "link");
            for (int pair = 0; pair < swappedPairs; ++pair) {
                const std::string number = std::to_string(pair);
                swaps += exchange(subFd.load(), "inner" + number, "innerLink" + number);
            }
        }
    });
    auto pauseSwapper = [&] {
        active = false;
        const std::lock_guard<std::mutex> lock(swapLock);
    };

    int removals = 0;
    for (int round = 0; round < rounds; ++round) {
        for (int pair = 0; pair < swappedPairs; ++pair) {
            const std::string number = std::to_string(pair);
            tree.writeFile("/Library/Caches/t/sub/inner" + number + "/g", 10);
            tree.makeLink(sentinel, "/Library/Caches/t/sub/innerLink" + number);
        }
        tree.makeLink(sentinel, "/Library/Caches/t/link");
        UniqueFd t(::open(tree.real("/Library/Caches/t").c_str(), O_PATH | O_CLOEXEC));
        UniqueFd sub(::open(tree.real("/Library/Caches/t/sub").c_str(), O_PATH | O_CLOEXEC));
        treeFd = t.get();
        subFd = sub.get();

        active = true;
        removals += fs.value().measureAndRemove("/Library/Caches/t").ok() ? 1 : 0;
        pauseSwapper();

        // On failure, stop the rounds but still join the swapper below.
        const long left = tree.countFiles("/outside/sentinel");
        EXPECT_EQ(left, sentinelFiles) << "round " << round;
        if (left != sentinelFiles) {
            break;
        }
        if (tree.exists("/Library/Caches/t") && !fs.value().remove("/Library/Caches/t").ok() &&
            !testing::removeWithRm(tree.real("/Library/Caches/t"))) {
            ADD_FAILURE() << "cannot clear the tree after round " << round;
            break;
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
