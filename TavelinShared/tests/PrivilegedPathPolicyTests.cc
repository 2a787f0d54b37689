#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TavelinShared/PrivilegedPathPolicy.h"

namespace tavelin {
namespace {

using namespace std::string_literals;

// Shows NUL bytes, which gtest would otherwise print as nothing.
std::string printable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        out += c == '\0' ? std::string("\\0") : std::string(1, c);
    }
    return '"' + out + '"';
}

TEST(PrivilegedPathPolicyTests, NormalisesLexically) {
    struct Case {
        std::string path;
        std::string currentDirectory;
        std::string expected;
    };
    const Case cases[] = {
        {"/a/./b/", "/cwd", "/a/b"},
        {"//a//b", "/cwd", "/a/b"},
        {"/a/b/../../../..", "/cwd", "/"},
        {"/a..b/.../c", "/cwd", "/a..b/.../c"},
        {"../../../x", "/c/", "/x"},
        {"x", "/c/./d/../e", "/c/e/x"},
        {"", "/c/d/", "/c/d"},
        // A current directory that is not absolute (it could not be read) keeps the path relative.
        {"a/../..", "", ".."},
        {"", "", "."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrivilegedPathPolicy::normalize(c.path, c.currentDirectory), c.expected)
            << printable(c.path) << " in " << printable(c.currentDirectory);
    }
}

TEST(PrivilegedPathPolicyTests, JudgesPathsAgainstAChosenCurrentDirectory) {
    struct Case {
        std::string path;
        std::string currentDirectory;
        bool removable;
    };
    const Case cases[] = {
        {"/Library/Caches/\xC3\x9C", "/", true},
        {"/Library/Caches/ ", "/", true},  // a name made of one blank; nothing is trimmed
        // Trailing slashes, "." segments, repeated slashes and resolvable ".." segments.
        {"/Library/Caches/a/", "/", true},
        {"//Library//Caches/./x/../y", "/", true},
        {"/../Library/Caches/a", "/", true},
        // The allowed directories themselves, however spelled.
        {"/Library/Caches/", "/", false},
        {"/Library/Caches/a/..", "/", false},
        {"/private/var/log//.", "/", false},
        // Parent segments that leave the allowed directory, and ".." inside names.
        {"/Library/Caches/../Preferences/x", "/", false},
        {"/Library/Caches/a..b", "/", false},
        {"/Library/Caches/.../x", "/", false},
        // Case, aliases, other places.
        {"/library/caches/x", "/", false},
        {"/Library/caches/x", "/", false},
        {"/var/folders/ab/x", "/", false},
        {" /Library/Caches/x", "/", false},  // relative: "/ /Library/Caches/x"
        // Empty strings and NUL bytes, whatever the current directory.
        {"", "/Library/Caches/a", false},
        {"/Library/Caches/a\0b"s, "/", false},
        {"/Library/Caches/\0/../x"s, "/", false},
        {"x", "/Library/Caches/\0"s, false},
        // Relative paths.
        {"x", "/Library/Caches/", true},
        {".", "/Library/Caches/a", true},
        {"../../../../Library/Caches/x", "/tmp", true},
        {"..", "/Library/Caches/a", false},
        {"x", "/etc", false},
        {"Library/Caches/x", "relative/dir", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrivilegedPathPolicy::isRemovable(c.path, c.currentDirectory), c.removable)
            << printable(c.path) << " in " << printable(c.currentDirectory);
    }
}

TEST(PrivilegedPathPolicyTests, RefusesEveryDeniedEntryInAnySpelling) {
    ASSERT_EQ(PrivilegedPathPolicy::deniedExact.size(), 10U);
    for (const std::string_view entry : PrivilegedPathPolicy::deniedExact) {
        const std::string denied(entry);
        for (const std::string& spelling : {denied, denied + "/", denied + "/.", "/" + denied}) {
            EXPECT_FALSE(PrivilegedPathPolicy::isRemovable(spelling, "/Library/Caches"))
                << spelling;
        }
    }
    for (const std::string_view prefix : PrivilegedPathPolicy::allowedPrefixes) {
        EXPECT_TRUE(PrivilegedPathPolicy::isRemovable(std::string(prefix) + "x", "/")) << prefix;
    }
}

TEST(PrivilegedPathPolicyTests, SanitizeKeepsOrderDuplicatesAndTheCallersSpelling) {
    struct Case {
        std::vector<std::string> paths;
        std::string currentDirectory;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {{"/Library/Caches/b/", "/etc/hosts", "/Library/Caches/./a", "/Library/Caches/b/"},
         "/",
         {"/Library/Caches/b/", "/Library/Caches/./a", "/Library/Caches/b/"}},
        {{"x", "", "../Logs/y"}, "/Library/Caches", {"x", "../Logs/y"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrivilegedPathPolicy::sanitize(c.paths, c.currentDirectory), c.expected)
            << c.paths.size() << " paths in " << c.currentDirectory;
    }
}

// Changes the process's current directory for one test and restores it afterwards.
class CurrentDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char* saved = ::getcwd(nullptr, 0);
        ASSERT_NE(saved, nullptr);
        saved_ = saved;
        std::free(saved);  // NOLINT(cppcoreguidelines-no-malloc): getcwd allocates with malloc
    }
    void TearDown() override { EXPECT_EQ(::chdir(saved_.c_str()), 0) << saved_; }

  private:
    std::string saved_;
};

TEST_F(CurrentDirectoryTest, RelativePathsUseTheProcessDirectory) {
    ASSERT_EQ(::chdir("/"), 0);
    EXPECT_TRUE(PrivilegedPathPolicy::isRemovable("Library/Caches/x"));
    EXPECT_EQ(PrivilegedPathPolicy::sanitize({"Library/Caches/x", "etc", "Library/Logs"}),
              (std::vector<std::string>{"Library/Caches/x"}));

    ASSERT_EQ(::chdir("/tmp"), 0);
    EXPECT_FALSE(PrivilegedPathPolicy::isRemovable("Library/Caches/x"));
    EXPECT_TRUE(PrivilegedPathPolicy::isRemovable("../Library/Caches/x"));
}

TEST_F(CurrentDirectoryTest, UnreadableCurrentDirectoryRefusesRelativePaths) {
    std::string scratch = ::testing::TempDir() + "policy-cwd-XXXXXX";
    ASSERT_NE(::mkdtemp(scratch.data()), nullptr) << scratch;
    ASSERT_EQ(::chdir(scratch.c_str()), 0);
    ASSERT_EQ(::rmdir(scratch.c_str()), 0);
    EXPECT_EQ(PrivilegedPathPolicy::sanitize({"x", "/Library/Caches/x", "../../Library/Caches/y"}),
              (std::vector<std::string>{"/Library/Caches/x"}));
}

}  // namespace
}  // namespace tavelin
