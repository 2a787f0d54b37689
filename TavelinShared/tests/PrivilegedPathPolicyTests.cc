#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TavelinShared/PrivilegedPathPolicy.h"
#include "TavelinShared/tests/PathPolicyTable.h"

namespace tavelin {
namespace {

using namespace std::string_literals;
using testing::expectVerdicts;
using testing::PolicyRow;
using testing::shown;

TEST(PrivilegedPathPolicyTests, NormalisesLexically) {
    const struct {
        std::string path, currentDirectory, expected;
    } cases[] = {
        {"/a/./b/", "/cwd", "/a/b"},
        {"/a/b/../../../..", "/cwd", "/"},
        {"/a..b/.../c", "/cwd", "/a..b/.../c"},
        {"../../../x", "/c/", "/x"},
        {"x", "/c/./d/../e", "/c/e/x"},
        // A current directory that is not absolute (it could not be read) keeps the path relative.
        {"a/../..", "", ".."},
        {"", "", "."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrivilegedPathPolicy::normalize(c.path, c.currentDirectory), c.expected)
            << shown(c.path) << " in " << shown(c.currentDirectory);
    }
}

TEST(PrivilegedPathPolicyTests, JudgesPathsAgainstAChosenCurrentDirectory) {
    ASSERT_EQ(PathLayout::name, "reference");
    const std::vector<PolicyRow> cases = {
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
    expectVerdicts(cases, PrivilegedPathPolicy::isRemovable);
}

// Repair reaches what removal does, and anything spelled from /Library/ that stays inside.
TEST(PrivilegedPathPolicyTests, RepairsBelowTheLibraryFolder) {
    const std::vector<PolicyRow> cases = {
        {"/Library/Caches/x", "/", true},
        {"x", "/private/var/log", true},
        {"/Library/Preferences/p", "/", true},
        {"/Library/", "/", true},
        {"/Library/a/../../Library", "/", true},
        {"/Library", "/", false},
        {"/LibraryX/p", "/", false},
        {"/Library/../LibraryX/p", "/", false},
        {"/Library/../etc/passwd", "/", false},
        // The system call stops at a NUL: it would change /etc/shadow.
        {"/Library/../etc/shadow\0/../../Library/x"s, "/", false},
        {"Library/Preferences/p", "/", false},
        {"Preferences/p", "/Library", false},
        {"/opt/x", "/", false},
    };
    expectVerdicts(cases, PrivilegedPathPolicy::isRepairable);
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

// Changes the process's current directory for one test and restores it afterwards.
class CurrentDirectoryTest : public ::testing::Test {
  protected:
    void TearDown() override { std::filesystem::current_path(saved_); }

  private:
    std::filesystem::path saved_ = std::filesystem::current_path();
};

// Sanitizing keeps order, duplicates and the caller's spelling, and judges relative paths
// against the process's directory; one that cannot be read admits no relative path.
TEST_F(CurrentDirectoryTest, SanitizeUsesTheProcessDirectory) {
    ASSERT_EQ(::chdir("/"), 0);
    EXPECT_EQ(PrivilegedPathPolicy::sanitize(
                  {"Library/Caches/b/", "etc", "/Library/Caches/./a", "Library/Caches/b/", ""}),
              (std::vector<std::string>{"Library/Caches/b/", "/Library/Caches/./a",
                                        "Library/Caches/b/"}));
    ASSERT_EQ(::chdir("/tmp"), 0);
    EXPECT_EQ(PrivilegedPathPolicy::sanitize({"Library/Caches/x", "../Library/Caches/x"}),
              (std::vector<std::string>{"../Library/Caches/x"}));

    std::string scratch = ::testing::TempDir() + "policy-cwd-XXXXXX";
    ASSERT_NE(::mkdtemp(scratch.data()), nullptr) << scratch;
    ASSERT_EQ(::chdir(scratch.c_str()), 0);
    ASSERT_EQ(::rmdir(scratch.c_str()), 0);
    EXPECT_EQ(PrivilegedPathPolicy::sanitize({"x", "/Library/Caches/x", "../../Library/Caches/y"}),
              (std::vector<std::string>{"/Library/Caches/x"}));
}

}  // namespace
}  // namespace tavelin
