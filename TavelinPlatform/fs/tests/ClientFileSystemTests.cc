#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TavelinPlatform/fs/ClientFileSystem.h"
#include "TavelinPlatform/fs/TreeWalk.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"

namespace {

// Runs just before each openat of this executable while set (see __wrap_openat).
std::function<void(int dirFd, const char* path)> openatHook;

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
    if (openatHook) {
        // Unset while it runs, so that its own calls go straight through.
        std::function<void(int, const char*)> hook = std::exchange(openatHook, nullptr);
        hook(dirFd, path);
        openatHook = std::move(hook);
    }
    return __real_openat(dirFd, path, flags, mode);
}

namespace tavelin {
namespace {

// Sets the openat hook for one scope.
class OpenatHook {
  public:
    explicit OpenatHook(std::function<void(int, const char*)> hook) {
        openatHook = std::move(hook);
    }
    ~OpenatHook() { openatHook = nullptr; }
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
    struct Case {
        bool bindMount;
        std::string expected;  // as the child answers: error, then what lies beside the sentinels
    };
    const std::string stale = std::to_string(-ESTALE);
    const std::vector<Case> cases = {
        {false, stale + ", d3 and 3 sentinels"},
        {true, stale + ", 3 sentinels"},
    };
    for (const Case& c : cases) {
        ScratchTree tree;
        tree.writeFile("/C/t/d1/d2/d3/f", 10);
        for (const std::string name : {"s1", "s2", "s3"}) {
            tree.writeFile("/C/t/d1/d2/" + name, 10);
            tree.writeFile("/outside/place/" + name, 10);
        }
        const std::string d2 = tree.real("/C/t/d1/d2");
        const std::optional<std::string> answer = testing::runInChild([&]() -> std::string {
            if (c.bindMount &&
                (::unshare(CLONE_NEWNS) != 0 ||
                 ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)) {
                return "no mount";
            }
            bool changed = false;
            const OpenatHook hook([&](int, const char* path) {
                if (!changed && std::string_view(path) == "..") {
                    changed = c.bindMount
                                  ? ::mount(d2.c_str(), d2.c_str(), nullptr, MS_BIND, nullptr) == 0
                                  : ::rename((d2 + "/d3").c_str(),
                                             tree.real("/outside/place/d3").c_str()) == 0;
                }
            });
            UniqueFd top(::open(tree.real("/C/t").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            const Expected<std::int64_t, SystemError> removed = removeContents(std::move(top), 1);
            if (!changed) {
                return c.bindMount ? "no mount" : "not moved";
            }
            return std::to_string(removed ? 0 : -removed.error().errorNumber) +
                   (tree.exists("/outside/place/d3") ? ", d3 and " : ", ") +
                   std::to_string(tree.countFiles("/outside/place")) + " sentinels";
        });
        if (answer == "no mount") {
            GTEST_SKIP() << "cannot mount here";
        }
        EXPECT_EQ(answer, c.expected) << (c.bindMount ? "bind mount" : "move");
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

}  // namespace
}  // namespace tavelin
