#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TavelinHelper/monitor/PathRemoval.h"
#include "TavelinPlatform/core/tests/CapturingLogSink.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"
#include "TavelinShared/tests/support/LayoutFolders.h"

namespace tavelin {
namespace {

namespace layout = testing::layout;
using testing::ScratchTree;
using Strings = std::vector<std::string>;

ClientFileSystem openAt(const ScratchTree& tree, const std::string& cwd = "/") {
    Expected<ClientFileSystem, SystemError> fs = ClientFileSystem::open(tree.root(), cwd);
    EXPECT_TRUE(fs.has_value());
    return std::move(fs).value();
}

// "success|message|freed bytes|log line|log line..."
std::string summary(const PrivilegedResult& result, const CapturingLogSink& log) {
    std::string text = std::string(result.success() ? "true" : "false") + "|" + result.message() +
                       "|" + std::to_string(result.freedBytes());
    for (const std::string& line : log.lines()) {
        text += "|" + line;
    }
    return text;
}

TEST(RemoveSystemPaths, AnswersEveryMessageFormAndLogsEachRemovedPath) {
    const std::string caches(layout::firstArea);
    const std::string logs(layout::secondArea);
    const std::string preferences = std::string(layout::repairFolder) + "/Preferences";
    // Ten bytes each; /etc, /ten and the preferences stand for everything outside the areas.
    const Strings planted = {"/etc/passwd",
                             caches + "/ten",
                             logs + "/app.log",
                             caches + "/a\nb",
                             caches + "/100%s%n",
                             preferences + "/x",
                             "/ten"};
    const std::string removed = "|[TavelinHelper] removed ";
    struct Case {
        Strings paths;
        std::string expected;  // as summary() puts it
        std::string cwd = "/";
    };
    const std::vector<Case> cases = {
        {{}, "true|0 Pfade entfernt|0"},
        {{"/etc/passwd", caches + "/../Preferences/x"},
         "true|0 Pfade entfernt, 2 durch Policy abgelehnt|0"},
        // The second removal of one path fails: it is gone by then.
        {{caches + "/ten", caches + "/ten"},
         "false|1 Pfade entfernt, 1 fehlgeschlagen|10" + removed + caches + "/ten (10 bytes)"},
        {{caches + "/ten", "/etc/passwd", logs + "/missing", logs + "/app.log"},
         "false|2 Pfade entfernt, 1 durch Policy abgelehnt, 1 fehlgeschlagen|20" + removed +
             caches + "/ten (10 bytes)" + removed + logs + "/app.log (10 bytes)"},
        // Paths are logged as data, never as a format, and a line break cannot split a line.
        {{caches + "/100%s%n", caches + "/a\nb"},
         "true|2 Pfade entfernt|20" + removed + caches + "/100%s%n (10 bytes)" + removed + caches +
             "/a\\nb (10 bytes)"},
        // Relative paths are judged and removed at the current directory joined with them.
        {{"ten"}, "true|1 Pfade entfernt|10" + removed + "ten (10 bytes)", caches},
        {{"ten"}, "true|0 Pfade entfernt, 1 durch Policy abgelehnt|0"},
    };
    for (const Case& c : cases) {
        ScratchTree tree;
        for (const std::string& path : planted) {
            tree.writeFile(path, 10);
        }
        CapturingLogSink log;
        const PrivilegedResult result = removeSystemPaths(c.paths, openAt(tree, c.cwd), log);

        // Each logged removal took exactly one file, and never one outside the allowed areas.
        const std::string input = "paths: " + ::testing::PrintToString(c.paths) + " cwd " + c.cwd;
        const auto logged = std::count(c.expected.begin(), c.expected.end(), '|') - 2;
        EXPECT_EQ(summary(result, log), c.expected) << input;
        EXPECT_EQ(tree.countFiles("/"), static_cast<long>(planted.size()) - logged) << input;
        EXPECT_TRUE(tree.exists("/etc/passwd") && tree.exists("/ten")) << input;
    }
}

TEST(RemoveSystemPaths, FreedBytesStopAtTheLargestCount) {
    // Sparse files of the largest length a tmpfs allows: two of them would wrap.
    ScratchTree tree;
    const std::string caches(layout::firstArea);
    const Strings paths = {caches + "/huge1", caches + "/huge2"};
    for (const std::string& path : paths) {
        tree.writeFile(path, 0);
        if (::truncate(tree.real(path).c_str(), INT64_MAX) != 0) {
            GTEST_SKIP() << "this file system cannot hold a file of INT64_MAX bytes";
        }
    }
    CapturingLogSink log;
    const PrivilegedResult result = removeSystemPaths(paths, openAt(tree), log);
    EXPECT_EQ(result.message(), "2 Pfade entfernt");
    EXPECT_EQ(result.freedBytes(), INT64_MAX);
}

TEST(RemoveSystemPaths, FoldersNobodyMayEmptyFailAndFreeNothing) {
    // As an unprivileged user, a write-protected subfolder stops a removal part-way and an
    // unreadable one can be neither listed nor measured (its own size still counts): the
    // path counts as failed and adds no bytes, though some of it is gone. An empty
    // unreadable folder can still be removed.
    ScratchTree tree;
    const std::string caches(layout::firstArea);
    tree.writeFile(caches + "/p/a/first", 4000);
    tree.writeFile(caches + "/p/locked/kept", 4000);
    tree.writeFile(caches + "/p/z/last", 4000);
    tree.writeFile(caches + "/c/closed/hidden", 9000);
    tree.writeFile(caches + "/e/a", 3000);
    tree.makeFolder(caches + "/e/closedEmpty");
    ASSERT_EQ(std::system(("chmod -R a+rwX " + tree.real(caches)).c_str()), 0);
    ASSERT_EQ(::chmod(tree.real(caches + "/p/locked").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(tree.real(caches + "/c/closed").c_str(), 0), 0);
    ASSERT_EQ(::chmod(tree.real(caches + "/e/closedEmpty").c_str(), 0), 0);
    const std::string empty = std::to_string(tree.allocatedBelow(caches + "/e"));
    const ClientFileSystem fs = openAt(tree);

    const std::optional<std::string> answer = testing::runInChild(
        [&fs, &caches] {
            CapturingLogSink log;
            const Strings paths = {caches + "/p", caches + "/c", caches + "/e"};
            return summary(removeSystemPaths(paths, fs, log), log);
        },
        true);
    EXPECT_EQ(answer, "false|1 Pfade entfernt, 2 fehlgeschlagen|" + empty +
                          "|[TavelinHelper] removed " + caches + "/e (" + empty + " bytes)");
    EXPECT_TRUE(tree.exists(caches + "/p/locked/kept"));
    EXPECT_TRUE(tree.exists(caches + "/c/closed/hidden"));
}

TEST(RemoveSystemPaths, OperationsAtOnceOnOverlappingTreesEachAnswerAndLogTheirOwn) {
    // Operations on threads of their own, as the monitor runs them, remove the same and
    // nested trees at once through one file system and the process's removal helpers. Each
    // answers for its own paths (removed + failed = named) and logs exactly the paths it
    // removed, in the order named; nothing outside the areas goes; the trees are gone.
    constexpr int operations = 6;
    const std::string caches(layout::firstArea);
    ScratchTree tree;
    tree.writeFile("/etc/passwd", 10);
    Strings paths;
    for (int t = 0; t < 3; ++t) {
        const std::string top = caches + "/t" + std::to_string(t);
        paths.push_back(top);
        for (int d = 0; d < 8; ++d) {
            const std::string folder = top + "/d" + std::to_string(d);
            paths.push_back(folder);
            for (int f = 0; f < 12; ++f) {
                tree.writeFile(folder + "/f" + std::to_string(f), 10);
            }
            tree.makeLink(tree.real("/etc"), folder + "/etc");
        }
    }
    const ClientFileSystem fs = openAt(tree);
    std::vector<CapturingLogSink> logs(operations);
    std::vector<std::optional<PrivilegedResult>> results(operations);
    std::vector<Strings> named(operations);
    std::vector<std::thread> threads;
    for (int op = 0; op < operations; ++op) {
        // Every operation names every path, each in its own order.
        for (std::size_t i = 0; i < paths.size(); ++i) {
            named[op].push_back(paths[(i * (2 * op + 1) + op) % paths.size()]);
        }
        threads.emplace_back([&, op] { results[op] = removeSystemPaths(named[op], fs, logs[op]); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    long removedInAll = 0;
    for (int op = 0; op < operations; ++op) {
        ASSERT_TRUE(results[op].has_value());
        const std::vector<std::string>& lines = logs[op].lines();
        const long removed = static_cast<long>(lines.size());
        removedInAll += removed;
        const long failed = static_cast<long>(paths.size()) - removed;
        EXPECT_EQ(results[op]->message(),
                  std::to_string(removed) + " Pfade entfernt" +
                      (failed > 0 ? ", " + std::to_string(failed) + " fehlgeschlagen" : ""))
            << "operation " << op;
        EXPECT_EQ(results[op]->success(), failed == 0) << "operation " << op;
        // The lines follow the order the paths were named in.
        std::size_t next = 0;
        for (const std::string& line : lines) {
            while (next < named[op].size() &&
                   line.rfind("[TavelinHelper] removed " + named[op][next] + " (", 0) != 0) {
                ++next;
            }
            EXPECT_LT(next, named[op].size()) << "operation " << op << " logged " << line;
            ++next;
        }
    }
    EXPECT_GE(removedInAll, 3);  // each top went once, by whoever was first
    for (int t = 0; t < 3; ++t) {
        EXPECT_FALSE(tree.exists(caches + "/t" + std::to_string(t)));
    }
    EXPECT_TRUE(tree.exists("/etc/passwd"));
}

}  // namespace
}  // namespace tavelin
