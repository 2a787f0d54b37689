#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "TavelinPlatform/fs/ClientFileSystem.h"
#include "TavelinPlatform/fs/DirectoryListing.h"
#include "TavelinPlatform/fs/RemovalHelpers.h"
#include "TavelinPlatform/fs/TreeWalk.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"

namespace {

// Runs just before each openat of this executable while set (see __wrap_openat). Walks with
// helpers open from several threads, so the hook is taken and put back under a lock; the
// generation tells a hook put back after its scope ended (it is then dropped).
std::mutex openatHookMutex;
std::function<void(int dirFd, const char* path)> openatHook;
unsigned long openatHookGeneration = 0;

}  // namespace

extern "C" int __real_openat(int dirFd, const char* path, int flags, ...);

// This test executable is linked with --wrap=openat, so every openat call in it, the
// walker's included, comes here first: a test can change the tree at the exact moment the
// walker opens a name, without any hook in the library itself.
extern "C" int __wrap_openat(int dirFd, const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    std::function<void(int, const char*)> hook;
    unsigned long generation = 0;
    {
        // Taken while it runs, so that its own calls, and other threads' meanwhile, go
        // straight through.
        const std::lock_guard<std::mutex> lock(openatHookMutex);
        hook = std::exchange(openatHook, nullptr);
        generation = openatHookGeneration;
    }
    if (hook) {
        hook(dirFd, path);
        const std::lock_guard<std::mutex> lock(openatHookMutex);
        if (generation == openatHookGeneration) {
            openatHook = std::move(hook);
        }
    }
    return __real_openat(dirFd, path, flags, mode);
}

namespace tavelin {
namespace {

// Sets the openat hook for one scope.
class OpenatHook {
  public:
    explicit OpenatHook(std::function<void(int, const char*)> hook) {
        const std::lock_guard<std::mutex> lock(openatHookMutex);
        openatHook = std::move(hook);
        ++openatHookGeneration;
    }
    ~OpenatHook() {
        const std::lock_guard<std::mutex> lock(openatHookMutex);
        openatHook = nullptr;
        ++openatHookGeneration;
    }
    OpenatHook(const OpenatHook&) = delete;
    OpenatHook& operator=(const OpenatHook&) = delete;
};

using testing::ScratchTree;

ClientFileSystem openRoot(const ScratchTree& tree) {
    Expected<ClientFileSystem, SystemError> fs = ClientFileSystem::open(tree.root());
    EXPECT_TRUE(fs.has_value());
    return std::move(fs).value();
}

// What measureAndRemove answered: the bytes freed, or the negated errno.
std::int64_t removedBytesOrError(const ClientFileSystem& fs, const std::string& path) {
    const Expected<std::int64_t, SystemError> removed = fs.measureAndRemove(path);
    return removed ? *removed : -removed.error().errorNumber;
}

// /etc stands for everything outside the allowed areas: what the links aim at.
ClientFileSystem plant(const ScratchTree& tree) {
    tree.writeFile("/etc/passwd", 100, 0600);
    tree.writeFile("/etc/big/a", 8192);
    tree.writeFile("/C/ten", 10);
    tree.makeFolder("/C/emptyFolder");
    tree.writeFile("/C/folder/sub/x", 5000);
    tree.makeLink("/etc/big", "/C/folder/sub/inner");
    tree.makeLink("/etc/big", "/C/linkToBig");
    return openRoot(tree);
}

TEST(ClientFileSystemRemove, RemovesItemsCountsTheirSizeAndNeverFollowsLinks) {
    constexpr std::int64_t folderSize = -1;  // the allocated size below /C/folder
    struct Case {
        std::string path;
        int expectedError;
        std::int64_t expectedBytes;  // what the removal answers when it succeeds
    };
    const std::vector<Case> cases = {
        {"/C/ten", 0, 10},  // its length, not its allocated size
        {"/C/emptyFolder", 0, 0},
        {"/C/folder", 0, folderSize},  // holds a subfolder and a link to /etc/big
        {"/C/folder/", 0, folderSize},
        {"/C/linkToBig", 0, 8},   // the link's own length: "/etc/big"
        {"/../../C/ten", 0, 10},  // ".." stops at the root
        {"/C/missing", ENOENT, 0},
        {"/C/linkToBig/a", ELOOP, 0},   // a link as a parent component
        {"/C/linkToBig/", ENOTDIR, 0},  // a trailing slash asks for a folder
        {"/C/ten/", ENOTDIR, 0},
        {"/C/folder/.", EINVAL, 0},
    };
    for (const Case& c : cases) {
        ScratchTree tree;
        const ClientFileSystem fs = plant(tree);
        const std::int64_t bytes =
            c.expectedBytes == folderSize ? tree.allocatedBelow("/C/folder") : c.expectedBytes;
        EXPECT_EQ(removedBytesOrError(fs, c.path), c.expectedError != 0 ? -c.expectedError : bytes)
            << "path: " << c.path;
        EXPECT_TRUE(c.expectedError != 0 || !tree.exists(c.path)) << "path: " << c.path;
        EXPECT_EQ(tree.countFiles("/etc"), 2) << "path: " << c.path;
        EXPECT_EQ(tree.status("/etc/passwd")->st_mode & 07777, 0600) << "path: " << c.path;
    }
}

TEST(TreeWalkDeep, RemovesAndCountsHundredThousandLevelsWithFewDescriptors) {
    // A chain "d/d/d/..." far longer than PATH_MAX, built through handles, with a file at
    // the bottom and beside the top (one listed after "d", whatever the order); the walk
    // must count every folder and file.
    ScratchTree tree;
    tree.writeFile("/Library/Caches/deep/before", 5000);
    UniqueFd current(::open(tree.real("/Library/Caches/deep").c_str(), O_RDONLY | O_CLOEXEC));
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
    tree.writeFile("/Library/Caches/deep/after", 5000);
    expected += (tree.status("/Library/Caches/deep/before")->st_blocks +
                 tree.status("/Library/Caches/deep/after")->st_blocks) *
                512;
    const ClientFileSystem fs = openRoot(tree);

    // A walk that kept one handle per level would fail with EMFILE long before the bottom;
    // one that keeps a few must re-open each parent through ".." and resume its listing.
    const std::optional<std::string> answer = testing::runInChild([&fs] {
        const rlimit limit{64, 64};
        return ::setrlimit(RLIMIT_NOFILE, &limit) == 0
                   ? std::to_string(removedBytesOrError(fs, "/Library/Caches/deep"))
                   : std::string("setrlimit failed");
    });
    EXPECT_EQ(answer, std::to_string(expected));
    EXPECT_FALSE(tree.exists("/Library/Caches/deep"));
}

// A removal inside a private mount namespace of a child, with the mounts made before the
// root handle is opened there (a handle opened before would look paths up among the old
// namespace's mounts and never meet them), or, by the openat seam, just as the walk opens
// the mount point. Victims live behind the mounts; /C/t/a and /C/t/sub/b lie beside them.
TEST(TreeWalkMounts, NeverEntersOrRemovesAnythingOnAnotherMount) {
    enum class Kind { bindFolder, tmpfs, bindFile };
    struct Case {
        Kind kind;
        std::string mountPoint;
        std::string removed;
        std::string expected;  // as the child answers: error, victim, beside
        bool mountAtOpen = false;
    };
    const std::string belowTree = std::to_string(-ENOTEMPTY) + " victim kept, beside removed";
    const std::string named = std::to_string(-EXDEV) + " victim kept, beside kept";
    const std::vector<Case> cases = {
        {Kind::bindFolder, "/C/t/mnt", "/C/t", belowTree},  // /victim of this file system
        {Kind::tmpfs, "/C/t/mnt", "/C/t", belowTree},
        {Kind::bindFile, "/C/t/f", "/C/t", belowTree},            // /victim/keep onto a file
        {Kind::bindFolder, "/C/t/mnt", "/C/t", belowTree, true},  // after the walk's statx
        {Kind::bindFolder, "/C/t/mnt", "/C/t/mnt", named},
        {Kind::tmpfs, "/C/t/mnt", "/C/t/mnt", named},
        {Kind::bindFile, "/C/t/f", "/C/t/f", named},
    };
    constexpr std::size_t victimLength = 100;
    for (const Case& c : cases) {
        ScratchTree tree;
        tree.writeFile("/victim/keep", victimLength);
        tree.writeFile("/victim/sub/deep", victimLength);
        tree.writeFile("/C/t/a", 3000);
        tree.writeFile("/C/t/sub/b", 3000);
        tree.writeFile("/C/t/f", 10);
        tree.makeFolder("/C/t/mnt");
        const std::string mountPoint = tree.real(c.mountPoint);
        const std::string source = tree.real(c.kind == Kind::bindFile ? "/victim/keep" : "/victim");
        // Seen through the mount point: a folder mount shows "keep", a file mount the victim.
        const std::string victim = c.kind == Kind::bindFile ? mountPoint : mountPoint + "/keep";
        const std::optional<std::string> answer = testing::runInChild([&]() -> std::string {
            bool mounted = false;
            const auto mountVictim = [&] {
                mounted = c.kind == Kind::tmpfs
                              ? ::mount("none", mountPoint.c_str(), "tmpfs", 0, nullptr) == 0
                              : ::mount(source.c_str(), mountPoint.c_str(), nullptr, MS_BIND,
                                        nullptr) == 0;
                if (mounted && c.kind == Kind::tmpfs) {
                    tree.writeFile(c.mountPoint + "/keep", victimLength);
                }
            };
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                return "no mount";
            }
            const std::string name = c.mountPoint.substr(c.mountPoint.rfind('/') + 1);
            std::optional<OpenatHook> hook;
            if (c.mountAtOpen) {
                hook.emplace([&](int, const char* path) {
                    if (!mounted && name == path) {
                        mountVictim();
                    }
                });
            } else {
                mountVictim();
            }
            const Expected<ClientFileSystem, SystemError> fs = ClientFileSystem::open(tree.root());
            if (!fs) {
                return "no root";
            }
            std::string result = std::to_string(removedBytesOrError(*fs, c.removed));
            if (!mounted) {
                return "no mount";
            }
            struct stat status {};
            const bool victimKept = ::lstat(victim.c_str(), &status) == 0 &&
                                    status.st_size == static_cast<off_t>(victimLength);
            result += victimKept ? " victim kept" : " victim lost";
            const bool besideKept = tree.exists("/C/t/a") && tree.exists("/C/t/sub/b");
            const bool besideGone = !tree.exists("/C/t/a") && !tree.exists("/C/t/sub");
            result += besideKept   ? ", beside kept"
                      : besideGone ? ", beside removed"
                                   : ", beside partly";
            return result;
        });
        if (answer == "no mount") {
            GTEST_SKIP() << "cannot mount here";
        }
        EXPECT_EQ(answer, c.expected) << "removed " << c.removed << " below " << c.mountPoint
                                      << (c.mountAtOpen ? " mounted at open" : "");
        EXPECT_EQ(tree.countFiles("/victim"), 2) << "removed " << c.removed;
    }
}

TEST(TreeWalkReopen, AParentReopenedThroughDotDotMustBeTheFolderLeftOnItsMount) {
    // With one open handle the walk re-opens d2 through d3's ".." on its way back up. Just
    // before that, d3 is moved out of the tree beside sentinels named as its siblings in d2,
    // so ".." is their folder: a walk that took it for d2 would remove the moved folder and
    // the sentinels still due in d2's listing. Or d2 is bind-mounted onto itself, so ".." is
    // d2 seen through another mount. Either way the removal must stop there.
    // With a helper, the top holds two such chains, d1 and e1: the walk hands the one after
    // the first to the helper, and the helper's own walk climbs back from its d3 (only a
    // helper's ".." triggers the change then): the check must hold there too.
    struct Case {
        bool bindMount;
        bool helper;
        std::string expected;  // as the child answers: error, then what lies beside the sentinels
    };
    const std::string stale = std::to_string(-ESTALE);
    const std::vector<Case> cases = {
        {false, false, stale + ", d3 and 3 sentinels"},
        {true, false, stale + ", 3 sentinels"},
        {false, true, stale + ", d3 and 3 sentinels, on a helper"},
        {true, true, stale + ", 3 sentinels, on a helper"},
    };
    for (const Case& c : cases) {
        ScratchTree tree;
        for (const std::string chain : {"d1", "e1"}) {
            if (chain == "e1" && !c.helper) {
                continue;
            }
            tree.writeFile("/C/t/" + chain + "/d2/d3/f", 10);
            for (const std::string name : {"s1", "s2", "s3"}) {
                tree.writeFile("/C/t/" + chain + "/d2/" + name, 10);
            }
        }
        for (const std::string name : {"s1", "s2", "s3"}) {
            tree.writeFile("/outside/place/" + name, 10);
        }
        const std::optional<std::string> answer = testing::runInChild([&]() -> std::string {
            if (c.bindMount &&
                (::unshare(CLONE_NEWNS) != 0 ||
                 ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)) {
                return "no mount";
            }
            bool changed = false;
            bool onHelper = false;
            const std::thread::id caller = std::this_thread::get_id();
            // Made after unshare, so its threads see the same mounts as this one.
            RemovalHelpers helpers(c.helper ? 1 : 0);
            const OpenatHook hook([&](int dirFd, const char* path) {
                const bool helperThread = std::this_thread::get_id() != caller;
                if (changed || std::string_view(path) != ".." || (c.helper && !helperThread)) {
                    return;
                }
                // The folder climbed from is a d3; its d2 is the one to change.
                char buffer[4096];
                const std::string link = "/proc/self/fd/" + std::to_string(dirFd);
                const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
                const std::string d3(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
                const std::string d2 = d3.substr(0, d3.rfind('/'));
                onHelper = helperThread;
                changed = c.bindMount
                              ? ::mount(d2.c_str(), d2.c_str(), nullptr, MS_BIND, nullptr) == 0
                              : ::rename(d3.c_str(), tree.real("/outside/place/d3").c_str()) == 0;
            });
            UniqueFd top(::open(tree.real("/C/t").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            const Expected<std::int64_t, SystemError> removed =
                removeContents(std::move(top), 1, &helpers);
            if (!changed) {
                return c.bindMount ? "no mount" : "not moved";
            }
            return std::to_string(removed ? 0 : -removed.error().errorNumber) +
                   (tree.exists("/outside/place/d3") ? ", d3 and " : ", ") +
                   std::to_string(tree.countFiles("/outside/place")) + " sentinels" +
                   (onHelper ? ", on a helper" : "");
        });
        if (answer == "no mount") {
            GTEST_SKIP() << "cannot mount here";
        }
        EXPECT_EQ(answer, c.expected)
            << (c.bindMount ? "bind mount" : "move") << (c.helper ? " with a helper" : "");
    }
}

TEST(SymlinkSwap, AFolderSwappedForALinkJustBeforeItsOpenIsNeverFollowed) {
    // Between the look at a folder and its open, the folder trades places with a link to a
    // sentinel folder outside the tree (RENAME_EXCHANGE). The open must refuse the link, and
    // the link is then removed as a link.
    struct Case {
        std::string swappedName;
        std::string what;
    };
    const std::vector<Case> cases = {
        {"t", "the named folder, opened by the removal"},
        {"sub", "a folder inside it, opened by the walk"},
    };
    for (const Case& c : cases) {
        ScratchTree tree;
        tree.writeFile("/outside/sentinel/one", 10);
        tree.writeFile("/outside/sentinel/n/two", 10);
        tree.writeFile("/C/t/a", 10);
        tree.writeFile("/C/t/sub/g", 10);
        tree.makeLink(tree.real("/outside/sentinel"), "/C/spare/link");
        const std::string link = tree.real("/C/spare/link");
        const ClientFileSystem fs = openRoot(tree);
        bool swapped = false;
        const OpenatHook hook([&](int dirFd, const char* path) {
            if (!swapped && c.swappedName == path) {
                swapped = ::renameat2(dirFd, path, AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0;
            }
        });
        EXPECT_GE(removedBytesOrError(fs, "/C/t"), 0) << c.what;
        EXPECT_TRUE(swapped) << c.what;
        EXPECT_EQ(tree.countFiles("/outside/sentinel"), 2) << c.what;
    }
}

TEST(DirectoryListing, NamesComeInInodeOrderAndSplitOffAtTheEnd) {
    ScratchTree tree;
    for (int file = 0; file < 100; ++file) {
        tree.writeFile("/C/f/n" + std::to_string(1000 + file), 1);
    }
    UniqueFd folder(::open(tree.real("/C/f").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DirectoryListing listing;
    std::vector<char> scratch;
    ASSERT_TRUE(listing.read(folder.get(), scratch).has_value());
    const auto namesOf = [](const DirectoryListing& names, std::size_t from) {
        std::vector<std::string> result;
        for (std::size_t at = from; at < names.endPosition(); at = names.nextPosition(at)) {
            result.emplace_back(names.nameAt(at));
        }
        return result;
    };
    const std::vector<std::string> all = namesOf(listing, 0);
    ASSERT_EQ(all.size(), 100U);
    ino_t previous = 0;
    for (const std::string& name : all) {
        const ino_t inode = tree.status("/C/f/" + name)->st_ino;
        EXPECT_GT(inode, previous) << name;
        previous = inode;
    }
    // About a quarter of the 99 names after the first (all of one length), then back.
    const std::size_t cut = listing.tailStart(0, 4);
    const std::vector<std::string> tail = namesOf(listing, cut);
    EXPECT_GE(tail.size(), 24U);
    EXPECT_LE(tail.size(), 25U);
    DirectoryListing split = listing.splitOff(cut);
    EXPECT_EQ(namesOf(split, 0), tail);
    EXPECT_EQ(namesOf(listing, 0).size(), 100 - tail.size());
    listing.rejoin(std::move(split));
    EXPECT_EQ(namesOf(listing, 0), all);
    // At least one name while one follows, none after the last.
    std::size_t last = 0;
    std::size_t beforeLast = 0;
    for (std::size_t at = 0; at < listing.endPosition(); at = listing.nextPosition(at)) {
        beforeLast = last;
        last = at;
    }
    EXPECT_EQ(listing.tailStart(beforeLast, 1000), last);
    EXPECT_EQ(listing.tailStart(last, 4), listing.endPosition());
}

// --- the walk shared with helpers ---

// A file system whose removals share their walks with `helpers`.
ClientFileSystem openRootWith(const ScratchTree& tree, RemovalHelpers& helpers) {
    Expected<ClientFileSystem, SystemError> fs = ClientFileSystem::open(tree.root(), "/", &helpers);
    EXPECT_TRUE(fs.has_value());
    return std::move(fs).value();
}

TEST(ParallelWalk, HelpersTakeSubtreesAndTheBytesAddUpAsAlone) {
    // Wide and a little deep, with links to outside: the same bytes as the walk alone,
    // nothing outside touched, and the helpers had work.
    for (const std::size_t helperCount : {std::size_t{1}, RemovalHelpers::maxHelpers}) {
        ScratchTree tree;
        tree.writeFile("/etc/passwd", 100, 0600);
        tree.writeFile("/etc/big/a", 8192);
        for (int folder = 0; folder < 24; ++folder) {
            const std::string base = "/C/t/d" + std::to_string(folder);
            for (int file = 0; file < 20; ++file) {
                tree.writeFile(base + "/f" + std::to_string(file), 100 + 37 * file);
            }
            tree.writeFile(base + "/deeper/x/y/z", 5000);
            tree.makeLink(tree.real("/etc/big"), base + "/link");
        }
        const std::int64_t expected = tree.allocatedBelow("/C/t");
        RemovalHelpers helpers(helperCount);
        const ClientFileSystem fs = openRootWith(tree, helpers);
        EXPECT_EQ(removedBytesOrError(fs, "/C/t"), expected) << helperCount << " helpers";
        EXPECT_FALSE(tree.exists("/C/t"));
        EXPECT_EQ(tree.countFiles("/etc"), 2);
        EXPECT_GT(helpers.jobsHanded(), 0U) << helperCount << " helpers";
    }
}

TEST(ParallelWalk, ANeverStartedHelperLeavesTheWalkToTheCaller) {
    // No helper at all (one core), and helpers of a forked parent: the caller walks alone.
    ScratchTree tree;
    for (int folder = 0; folder < 8; ++folder) {
        tree.writeFile("/C/t/d" + std::to_string(folder) + "/f", 10);
        tree.writeFile("/C/u/d" + std::to_string(folder) + "/f", 10);
    }
    RemovalHelpers none(0);
    EXPECT_GE(removedBytesOrError(openRootWith(tree, none), "/C/t"), 0);
    EXPECT_EQ(none.jobsHanded(), 0U);
    RemovalHelpers parents(RemovalHelpers::maxHelpers);
    const ClientFileSystem fs = openRootWith(tree, parents);
    const std::optional<std::string> answer =
        testing::runInChild([&fs] { return std::to_string(removedBytesOrError(fs, "/C/u") >= 0); });
    EXPECT_EQ(answer, "1");
    EXPECT_FALSE(tree.exists("/C/u"));
    EXPECT_EQ(parents.jobsHanded(), 0U);
}

TEST(ParallelWalk, ALinkSwappedInOnAHelperIsNeverFollowed) {
    // As SymlinkSwap, but the folder is swapped for the link just as a helper opens it: the
    // top's subfolders w0..w7 go to helpers, which open the "sub" in them.
    ScratchTree tree;
    tree.writeFile("/outside/sentinel/one", 10);
    tree.writeFile("/outside/sentinel/n/two", 10);
    for (int folder = 0; folder < 8; ++folder) {
        const std::string base = "/C/t/w" + std::to_string(folder);
        tree.writeFile(base + "/a", 10);
        tree.writeFile(base + "/sub/g", 10);
    }
    tree.makeLink(tree.real("/outside/sentinel"), "/C/spare/link");
    const std::string link = tree.real("/C/spare/link");
    RemovalHelpers helpers(RemovalHelpers::maxHelpers);
    const ClientFileSystem fs = openRootWith(tree, helpers);
    const std::thread::id caller = std::this_thread::get_id();
    bool swapped = false;
    const OpenatHook hook([&](int dirFd, const char* path) {
        if (!swapped && std::string_view(path) == "sub" && std::this_thread::get_id() != caller) {
            swapped = ::renameat2(dirFd, path, AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0;
        }
    });
    EXPECT_GE(removedBytesOrError(fs, "/C/t"), 0);
    EXPECT_TRUE(swapped) << "no helper opened a \"sub\"";
    EXPECT_FALSE(tree.exists("/C/t"));
    EXPECT_EQ(tree.countFiles("/outside/sentinel"), 2);
}

TEST(ParallelWalk, HelpersNeverEnterOrRemoveAnythingOnAnotherMount) {
    // As TreeWalkMounts, one level down: the top /C/t holds w0 and w1, and the walk hands
    // the one after the first to a helper, which meets the mount point mnt in it (mounted
    // before the walk in both, or just as a helper opens it). The mounts and the folders
    // holding them stay; the rest of the folder that fails first goes.
    enum class Kind { bindFolder, tmpfs };
    struct Case {
        Kind kind;
        bool mountAtOpen;
    };
    const std::vector<Case> cases = {
        {Kind::bindFolder, false}, {Kind::tmpfs, false}, {Kind::bindFolder, true}};
    const std::string expected =
        std::to_string(-ENOTEMPTY) + " victim kept, beside removed, handed out";
    for (const Case& c : cases) {
        ScratchTree tree;
        tree.writeFile("/victim/keep", 100);
        tree.writeFile("/victim/sub/deep", 100);
        for (const std::string w : {"/C/t/w0", "/C/t/w1"}) {
            tree.writeFile(w + "/a", 3000);
            tree.writeFile(w + "/sub/b", 3000);
            tree.makeFolder(w + "/mnt");
        }
        const std::string source = tree.real("/victim");
        const std::optional<std::string> answer = testing::runInChild([&]() -> std::string {
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                return "no mount";
            }
            std::vector<std::string> mounted;
            bool onHelper = false;
            const std::thread::id caller = std::this_thread::get_id();
            const auto mountVictim = [&](const std::string& mountPoint) {
                const bool done =
                    c.kind == Kind::tmpfs
                        ? ::mount("none", mountPoint.c_str(), "tmpfs", 0, nullptr) == 0
                        : ::mount(source.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) ==
                              0;
                if (done) {
                    mounted.push_back(mountPoint);
                    if (c.kind == Kind::tmpfs) {
                        const int fd = ::open((mountPoint + "/keep").c_str(),
                                              O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                        const std::string data(100, 'x');
                        const bool written =
                            ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(100);
                        ::close(fd);
                        if (!written) {
                            mounted.pop_back();
                        }
                    }
                }
            };
            std::optional<OpenatHook> hook;
            if (c.mountAtOpen) {
                hook.emplace([&](int dirFd, const char* path) {
                    if (mounted.empty() && std::string_view(path) == "mnt" &&
                        std::this_thread::get_id() != caller) {
                        char buffer[4096];
                        const std::string link = "/proc/self/fd/" + std::to_string(dirFd);
                        const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
                        onHelper = true;
                        mountVictim(std::string(buffer, length > 0 ? length : 0) + "/mnt");
                    }
                });
            } else {
                mountVictim(tree.real("/C/t/w0/mnt"));
                mountVictim(tree.real("/C/t/w1/mnt"));
            }
            RemovalHelpers helpers(RemovalHelpers::maxHelpers);
            const Expected<ClientFileSystem, SystemError> fs =
                ClientFileSystem::open(tree.root(), "/", &helpers);
            if (!fs) {
                return "no root";
            }
            std::string result = std::to_string(removedBytesOrError(*fs, "/C/t"));
            if (mounted.empty()) {
                return "no mount";
            }
            bool victimKept = true;
            for (const std::string& mountPoint : mounted) {
                struct stat status {};
                victimKept = victimKept && ::lstat((mountPoint + "/keep").c_str(), &status) == 0 &&
                             status.st_size == 100;
            }
            result += victimKept ? " victim kept" : " victim lost";
            // The first folder to fail ends the removal: the other may keep some of its own.
            bool besideGone = false;
            for (const std::string w : {"/C/t/w0", "/C/t/w1"}) {
                besideGone = besideGone || (!tree.exists(w + "/a") && !tree.exists(w + "/sub"));
            }
            result += besideGone ? ", beside removed" : ", beside kept";
            const bool handedOut = helpers.jobsHanded() > 0 && (!c.mountAtOpen || onHelper);
            result += handedOut ? ", handed out" : ", walked alone";
            return result;
        });
        if (answer == "no mount") {
            GTEST_SKIP() << "cannot mount here";
        }
        EXPECT_EQ(answer, expected) << (c.kind == Kind::tmpfs ? "tmpfs" : "bind mount")
                                    << (c.mountAtOpen ? " mounted at open" : "");
        EXPECT_EQ(tree.countFiles("/victim"), 2);
    }
}

TEST(ParallelWalk, AFailureOnAHelperEndsTheRemovalWithItsError) {
    // As an unprivileged user: a write-protected folder deep in one subtree stops the
    // removal with EACCES, whichever thread meets it, and the others stop too.
    ScratchTree tree;
    for (int folder = 0; folder < 12; ++folder) {
        tree.writeFile("/C/t/d" + std::to_string(folder) + "/f", 10);
    }
    tree.writeFile("/C/t/d5/locked/kept", 10);
    ASSERT_EQ(std::system(("chmod -R a+rwX " + tree.real("/C")).c_str()), 0);
    ASSERT_EQ(::chmod(tree.real("/C/t/d5/locked").c_str(), 0555), 0);
    const std::optional<std::string> answer = testing::runInChild(
        [&tree] {
            RemovalHelpers helpers(RemovalHelpers::maxHelpers);
            const ClientFileSystem fs = openRootWith(tree, helpers);
            return std::to_string(removedBytesOrError(fs, "/C/t"));
        },
        true);
    EXPECT_EQ(answer, std::to_string(-EACCES));
    EXPECT_TRUE(tree.exists("/C/t/d5/locked/kept"));
}

// Several threads remove the same and nested trees at once, with helpers, while another
// keeps creating files and folders in them. Every call ends with success or ENOENT /
// ENOTEMPTY (what a race with another remover or the creator leaves), nothing outside the
// trees is touched, and once the creator stopped one more removal takes what is left.
TEST(ParallelWalk, ConcurrentRemovalsOfOverlappingTreesStayInsideAndEndCleanly) {
    constexpr int rounds = 6;
    constexpr int removers = 4;
    constexpr int trees = 3;
    RemovalHelpers helpers(RemovalHelpers::maxHelpers);
    for (int round = 0; round < rounds; ++round) {
        ScratchTree tree;
        tree.writeFile("/outside/one", 10);
        tree.writeFile("/outside/deep/two", 10);
        tree.writeFile("/C/keep/three", 10);
        std::vector<std::string> paths = {"/C/s"};
        for (int t = 0; t < trees; ++t) {
            const std::string top = "/C/s/t" + std::to_string(t);
            paths.push_back(top);
            for (int d = 0; d < 6; ++d) {
                const std::string folder = top + "/d" + std::to_string(d);
                paths.push_back(folder);
                for (int e = 0; e < 3; ++e) {
                    const std::string inner = folder + "/e" + std::to_string(e);
                    paths.push_back(inner);
                    for (int f = 0; f < 8; ++f) {
                        tree.writeFile(inner + "/f" + std::to_string(f), 50);
                    }
                }
                tree.makeLink(tree.real("/outside"), folder + "/out");
                tree.makeLink(tree.real("/C/keep"), folder + "/keep");
            }
        }
        const ClientFileSystem fs = openRootWith(tree, helpers);

        std::atomic<bool> creating{true};
        std::thread creator([&] {
            unsigned long serial = 0;
            while (creating.load()) {
                const std::string& base = paths[serial % paths.size()];
                const std::string name = tree.real(base) + "/new" + std::to_string(serial);
                if (serial % 3 == 0) {
                    static_cast<void>(::mkdir(name.c_str(), 0755));
                    static_cast<void>(::mkdir((name + "/inner").c_str(), 0755));
                } else {
                    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                    if (fd >= 0) {
                        ::close(fd);
                    }
                }
                ++serial;
            }
        });
        std::mutex outcomesMutex;
        std::vector<std::string> unexpected;
        std::vector<std::thread> threads;
        for (int r = 0; r < removers; ++r) {
            threads.emplace_back([&, r] {
                // Each remover its own order: nested paths before, after and beside others'.
                for (std::size_t i = 0; i < paths.size(); ++i) {
                    const std::string& path = paths[(i * static_cast<std::size_t>(2 * r + 1) +
                                                     static_cast<std::size_t>(r)) %
                                                    paths.size()];
                    const Expected<std::int64_t, SystemError> removed = fs.measureAndRemove(path);
                    const bool clean = removed ? *removed >= 0
                                               : removed.error().errorNumber == ENOENT ||
                                                     removed.error().errorNumber == ENOTEMPTY;
                    if (!clean) {
                        const std::lock_guard<std::mutex> lock(outcomesMutex);
                        unexpected.push_back(path + ": " + removed.error().describe());
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        creating.store(false);
        creator.join();

        EXPECT_EQ(unexpected, std::vector<std::string>()) << "round " << round;
        // Nothing races now: what the creator left goes with one more removal.
        const std::int64_t last = removedBytesOrError(fs, "/C/s");
        EXPECT_TRUE(last >= 0 || last == -ENOENT) << "round " << round << ": " << last;
        EXPECT_FALSE(tree.exists("/C/s")) << "round " << round;
        EXPECT_EQ(tree.countFiles("/outside"), 2) << "round " << round;
        EXPECT_EQ(tree.countFiles("/C/keep"), 1) << "round " << round;
    }
    EXPECT_GT(helpers.jobsHanded(), 0U);
}

}  // namespace
}  // namespace tavelin
