#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "CapturingLogSink.h"
#include "PathRemoval.h"
#include "ScratchTree.h"

namespace tavelin {
namespace {

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
    // Ten bytes each; /etc and /ten stand for everything outside the allowed areas.
    const Strings planted = {"/etc/passwd",
                             "/Library/Caches/ten",
                             "/Library/Logs/app.log",
                             "/Library/Caches/a\nb",
                             "/Library/Caches/100%s%n",
                             "/Library/Preferences/x",
                             "/ten"};
    const std::string removed = "|[TavelinHelper] removed ";
    struct Case {
        Strings paths;
        std::string expected;  // as summary() puts it
        std::string cwd = "/";
    };
    const std::vector<Case> cases = {
        {{}, "true|0 Pfade entfernt|0"},
        {{"/etc/passwd", "/Library/Caches/../Preferences/x"},
         "true|0 Pfade entfernt, 2 durch Policy abgelehnt|0"},
        // The second removal of one path fails: it is gone by then.
        {{"/Library/Caches/ten", "/Library/Caches/ten"},
         "false|1 Pfade entfernt, 1 fehlgeschlagen|10" + removed +
             "/Library/Caches/ten (10 bytes)"},
        {{"/Library/Caches/ten", "/etc/passwd", "/Library/Logs/missing", "/Library/Logs/app.log"},
         "false|2 Pfade entfernt, 1 durch Policy abgelehnt, 1 fehlgeschlagen|20" + removed +
             "/Library/Caches/ten (10 bytes)" + removed + "/Library/Logs/app.log (10 bytes)"},
        // Paths are logged as data, never as a format, and a line break cannot split a line.
        {{"/Library/Caches/100%s%n", "/Library/Caches/a\nb"},
         "true|2 Pfade entfernt|20" + removed + "/Library/Caches/100%s%n (10 bytes)" + removed +
             "/Library/Caches/a\\nb (10 bytes)"},
        // Relative paths are judged and removed at the current directory joined with them.
        {{"ten"}, "true|1 Pfade entfernt|10" + removed + "ten (10 bytes)", "/Library/Caches"},
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
    const Strings paths = {"/Library/Caches/huge1", "/Library/Caches/huge2"};
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
    tree.writeFile("/Library/Caches/p/a/first", 4000);
    tree.writeFile("/Library/Caches/p/locked/kept", 4000);
    tree.writeFile("/Library/Caches/p/z/last", 4000);
    tree.writeFile("/Library/Caches/c/closed/hidden", 9000);
    tree.writeFile("/Library/Caches/e/a", 3000);
    tree.makeFolder("/Library/Caches/e/closedEmpty");
    ASSERT_EQ(std::system(("chmod -R a+rwX " + tree.real("/Library")).c_str()), 0);
    ASSERT_EQ(::chmod(tree.real("/Library/Caches/p/locked").c_str(), 0555), 0);
    ASSERT_EQ(::chmod(tree.real("/Library/Caches/c/closed").c_str(), 0), 0);
    ASSERT_EQ(::chmod(tree.real("/Library/Caches/e/closedEmpty").c_str(), 0), 0);
    const std::string empty = std::to_string(tree.allocatedBelow("/Library/Caches/e"));
    const ClientFileSystem fs = openAt(tree);

    const std::optional<std::string> answer = testing::runInChild(
        [&fs] {
            CapturingLogSink log;
            const Strings paths = {"/Library/Caches/p", "/Library/Caches/c", "/Library/Caches/e"};
            return summary(removeSystemPaths(paths, fs, log), log);
        },
        true);
    EXPECT_EQ(answer, "false|1 Pfade entfernt, 2 fehlgeschlagen|" + empty +
                          "|[TavelinHelper] removed /Library/Caches/e (" + empty + " bytes)");
    EXPECT_TRUE(tree.exists("/Library/Caches/p/locked/kept"));
    EXPECT_TRUE(tree.exists("/Library/Caches/c/closed/hidden"));
}

}  // namespace
}  // namespace tavelin
