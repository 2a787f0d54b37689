#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "PathRemoval.h"
#include "ScratchTree.h"

namespace tavelin {
namespace {

using testing::ScratchTree;

constexpr std::string_view tenBytes = "/Library/Caches/ten";

ClientFileSystem openAt(const ScratchTree& tree, const std::string& cwd = "/") {
    FsResult<ClientFileSystem> fs = ClientFileSystem::open(tree.root(), cwd);
    EXPECT_TRUE(fs.ok());
    return std::move(fs).value();
}

std::int64_t allocatedSize(const ScratchTree& tree, const std::string& path) {
    return static_cast<std::int64_t>(tree.status(path)->st_blocks) * 512;
}

// The files every case starts from; /etc stands for everything outside the allowed areas.
void plant(const ScratchTree& tree) {
    tree.writeFile("/etc/passwd", 100, 0600);
    tree.writeFile("/etc/big/a", 8192);
    tree.writeFile(std::string(tenBytes), 10);
    tree.writeFile("/Library/Caches/folder/one", 10);
    tree.writeFile("/Library/Caches/100%s%n", 4);
    tree.writeFile("/Library/Caches/a\nb", 3);
    tree.writeFile("/Library/Logs/app.log", 20);
    tree.writeFile("/Library/Preferences/x", 5);
    tree.writeFile("/ten", 10);
    tree.makeLink(tree.real("/etc/big"), "/Library/Caches/linkToBig");
    tree.makeLink(tree.real("/etc"), "/Library/Caches/linkToEtc");
}

TEST(RemoveSystemPaths, AnswersEveryMessageFormAndLogsEachRemovedPath) {
    struct Case {
        std::vector<std::string> paths;
        std::string cwd;
        bool success;
        std::string message;
        std::vector<std::string> lines;
        std::vector<std::string> gone;
        std::vector<std::string> kept;
    };
    const std::string folderSize = "FOLDER";  // replaced by the measured allocated size
    const std::vector<Case> cases = {
        {{}, "/", true, "0 Pfade entfernt", {}, {}, {}},
        {{"/etc/passwd", "/Library/Caches", "/Library/Caches/../Preferences/x"},
         "/",
         true,
         "0 Pfade entfernt, 3 durch Policy abgelehnt",
         {},
         {},
         {"/etc/passwd", "/Library/Caches", "/Library/Preferences/x"}},
        {{"/Library/Caches/missing"}, "/", false, "0 Pfade entfernt, 1 fehlgeschlagen", {}, {}, {}},
        {{"/Library/Caches/ten", "/Library/Caches/ten"},
         "/",
         false,
         "1 Pfade entfernt, 1 fehlgeschlagen",
         {"[TavelinHelper] removed /Library/Caches/ten (10 bytes)"},
         {"/Library/Caches/ten"},
         {}},
        {{"/Library/Caches/folder/"},
         "/",
         true,
         "1 Pfade entfernt",
         {"[TavelinHelper] removed /Library/Caches/folder/ (" + folderSize + " bytes)"},
         {"/Library/Caches/folder"},
         {}},
        {{"/Library/Caches/100%s%n"},
         "/",
         true,
         "1 Pfade entfernt",
         {"[TavelinHelper] removed /Library/Caches/100%s%n (4 bytes)"},
         {},
         {}},
        {{"/Library/Caches/a\nb"},
         "/",
         true,
         "1 Pfade entfernt",
         {"[TavelinHelper] removed /Library/Caches/a\\nb (3 bytes)"},
         {"/Library/Caches/a\nb"},
         {}},
        {{"/Library/Caches/ten", "/etc/passwd", "/Library/Logs/missing", "/Library/Logs/app.log"},
         "/",
         false,
         "2 Pfade entfernt, 1 durch Policy abgelehnt, 1 fehlgeschlagen",
         {"[TavelinHelper] removed /Library/Caches/ten (10 bytes)",
          "[TavelinHelper] removed /Library/Logs/app.log (20 bytes)"},
         {},
         {"/etc/passwd"}},
        // Relative paths are judged and removed at the current directory joined with them.
        {{"ten"},
         "/Library/Caches",
         true,
         "1 Pfade entfernt",
         {"[TavelinHelper] removed ten (10 bytes)"},
         {"/Library/Caches/ten"},
         {"/ten"}},
        {{"ten"},
         "/",
         true,
         "0 Pfade entfernt, 1 durch Policy abgelehnt",
         {},
         {},
         {"/ten", "/Library/Caches/ten"}},
        // A link named by the client goes as a link and counts the link's own length.
        {{"/Library/Caches/linkToBig"},
         "/",
         true,
         "1 Pfade entfernt",
         {"LINK"},
         {"/Library/Caches/linkToBig"},
         {"/etc/big/a"}},
        // A link as a parent component is never followed.
        {{"/Library/Caches/linkToEtc/passwd", "/Library/Caches/linkToEtc/big"},
         "/",
         false,
         "0 Pfade entfernt, 2 fehlgeschlagen",
         {},
         {},
         {"/etc/passwd", "/etc/big/a"}},
    };
    for (const Case& c : cases) {
        ScratchTree tree;
        plant(tree);
        const std::string link = tree.real("/etc/big");
        const std::int64_t folder = allocatedSize(tree, "/Library/Caches/folder/one");
        const ClientFileSystem fs = openAt(tree, c.cwd);
        CapturingLogSink log;

        const PrivilegedResult result = removeSystemPaths(c.paths, fs, log);

        const std::string input = "paths: " + ::testing::PrintToString(c.paths) + " cwd " + c.cwd;
        std::vector<std::string> lines = c.lines;
        std::int64_t expectedBytes = 0;
        for (std::string& line : lines) {
            if (line == "LINK") {
                line = "[TavelinHelper] removed /Library/Caches/linkToBig (" +
                       std::to_string(link.size()) + " bytes)";
            }
            const std::size_t marker = line.find(folderSize);
            if (marker != std::string::npos) {
                line.replace(marker, folderSize.size(), std::to_string(folder));
            }
            const std::size_t open = line.rfind('(');
            expectedBytes += std::stoll(line.substr(open + 1));
        }
        EXPECT_EQ(result.success(), c.success) << input;
        EXPECT_EQ(result.message(), c.message) << input;
        EXPECT_EQ(result.freedBytes(), expectedBytes) << input;
        EXPECT_EQ(log.lines(), lines) << input;
        for (const std::string& path : c.gone) {
            EXPECT_FALSE(tree.exists(path)) << input << " gone: " << path;
        }
        for (const std::string& path : c.kept) {
            EXPECT_TRUE(tree.exists(path)) << input << " kept: " << path;
        }
        EXPECT_EQ(tree.countFiles("/etc"), 2) << input;
    }
}

TEST(RemoveSystemPaths, FreedBytesStopAtTheLargestCount) {
    // Sparse files of the largest length a tmpfs allows: two of them would wrap.
    ScratchTree tree("/dev/shm");
    for (const char* name : {"/Library/Caches/huge1", "/Library/Caches/huge2"}) {
        tree.writeFile(name, 0);
        const int fd = ::open(tree.real(name).c_str(), O_WRONLY | O_CLOEXEC);
        const bool grown = ::ftruncate(fd, INT64_MAX) == 0;
        ::close(fd);
        if (!grown) {
            GTEST_SKIP() << "this file system cannot hold a file of INT64_MAX bytes";
        }
    }
    const ClientFileSystem fs = openAt(tree);
    CapturingLogSink log;
    const PrivilegedResult result =
        removeSystemPaths({"/Library/Caches/huge1", "/Library/Caches/huge2"}, fs, log);
    EXPECT_TRUE(result.success());
    EXPECT_EQ(result.message(), "2 Pfade entfernt");
    EXPECT_EQ(result.freedBytes(), INT64_MAX);
    EXPECT_EQ(log.lines().size(), 2U);
}

TEST(RemoveSystemPaths, RemovalFailingPartWayFreesNothingForThatPath) {
    // As an unprivileged user a write-protected subfolder stops the removal part-way: the
    // path counts as failed and adds no bytes, even though some of it is gone.
    ScratchTree tree;
    tree.writeFile("/Library/Caches/p/a/first", 4000);
    tree.writeFile("/Library/Caches/p/locked/kept", 4000);
    tree.writeFile("/Library/Caches/p/z/last", 4000);
    tree.writeFile("/Library/Caches/ok", 7);
    ASSERT_EQ(std::system(("chmod -R a+rwX " + tree.real("/Library")).c_str()), 0);
    ASSERT_EQ(::chmod(tree.real("/Library/Caches/p/locked").c_str(), 0555), 0);
    const ClientFileSystem fs = openAt(tree);

    const std::optional<std::string> answer = testing::runAsNobody([&fs] {
        CapturingLogSink log;
        const PrivilegedResult result =
            removeSystemPaths({"/Library/Caches/p", "/Library/Caches/ok"}, fs, log);
        std::string text = std::string(result.success() ? "true" : "false") + "|" +
                           result.message() + "|" + std::to_string(result.freedBytes());
        for (const std::string& line : log.lines()) {
            text += "|" + line;
        }
        return text;
    });
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer,
              "false|1 Pfade entfernt, 1 fehlgeschlagen|7|"
              "[TavelinHelper] removed /Library/Caches/ok (7 bytes)");
    EXPECT_TRUE(tree.exists("/Library/Caches/p/locked/kept"));
}

TEST(SizeOf, LengthForAFileAllocatedSizeBelowAFolder) {
    ScratchTree tree;
    plant(tree);
    tree.writeFile("/Library/Caches/empty", 0);
    tree.makeFolder("/Library/Caches/emptyFolder");
    const ClientFileSystem fs = openAt(tree);
    struct Case {
        std::string path;
        std::int64_t expected;
    };
    const std::vector<Case> cases = {
        {"/Library/Caches/ten", 10},
        {"/Library/Caches/folder", allocatedSize(tree, "/Library/Caches/folder/one")},
        {"/Library/Caches/empty", 0},
        {"/Library/Caches/emptyFolder", 0},
        {"/Library/Caches/missing", 0},
        {"/Library/Caches/linkToBig", static_cast<std::int64_t>(tree.real("/etc/big").size())},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sizeOf(c.path, fs), c.expected) << "path: " << c.path;
    }
}

}  // namespace
}  // namespace tavelin
