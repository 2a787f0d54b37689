#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "TavelinShared/tests/support/LayoutFolders.h"
#include "tools/tavelinctl/ByteCountText.h"
#include "tools/tavelinctl/CommandLine.h"
#include "tools/tavelinctl/ElapsedIndicator.h"
#include "tools/tavelinctl/ResultReport.h"
#include "tools/tavelinctl/tests/JoinedWords.h"

namespace tavelin::tavelinctl {
namespace {

TEST(CommandLineTest, AcceptsExactlyTheDocumentedForms) {
    using Kind = Command::Kind;
    using std::chrono::milliseconds;
    const std::string cached = std::string(testing::layout::firstArea) + "/a";
    struct Case {
        std::vector<std::string> words;
        std::optional<Kind> kind;  // nothing: usage error
        std::vector<std::string> arguments = {};
        Kind topic = Kind::help;
        bool json = false;
        milliseconds timeout = defaultTimeout;
    };
    const std::vector<Case> cases = {
        {{"version"}, Kind::version},
        {{"version", "extra"}, std::nullopt},
        {{"perform", R"({"installSystemUpdates":{}})"},
         Kind::perform,
         {R"({"installSystemUpdates":{}})"}},
        {{"perform", ""}, Kind::perform, {""}},
        {{"perform"}, std::nullopt},
        {{"remove", cached}, Kind::remove, {cached}},
        {{"remove", "a", "-", "b"}, Kind::remove, {"a", "-", "b"}},
        {{"remove", "a", "--", "-b", "--help", "--"}, Kind::remove, {"a", "-b", "--help", "--"}},
        {{"remove", cached, "-b"}, std::nullopt},
        {{"remove", "--"}, std::nullopt},
        {{"repair", "a", "b"}, std::nullopt},
        {{"update"}, Kind::update},
        {{"Version"}, std::nullopt},
        // Help and the tool's version, whatever else is on the line.
        {{"-h"}, Kind::help},
        {{"help", "repair"}, Kind::help, {}, Kind::repair},
        {{"help", "repair", "x"}, std::nullopt},
        {{"update", "now", "-h"}, Kind::help, {}, Kind::update},
        {{"remove", "--", "--help"}, Kind::remove, {"--help"}},
        {{"-V", "bogus"}, Kind::toolVersion},
        {{"-V", "-h"}, Kind::help},
        {{"-hV"}, std::nullopt},
        // --json and --timeout, before or after the command.
        {{"--json", "update"}, Kind::update, {}, Kind::help, true},
        {{"repair", "x", "--json"}, Kind::repair, {"x"}, Kind::help, true},
        {{"--timeout", "0.25", "update"}, Kind::update, {}, Kind::help, false, milliseconds(250)},
        {{"update", "--timeout=90"}, Kind::update, {}, Kind::help, false, milliseconds(90000)},
        {{"--timeout=0.0001", "update"}, Kind::update, {}, Kind::help, false, milliseconds(1)},
        {{"--timeout=86400", "update"},
         Kind::update,
         {},
         Kind::help,
         false,
         milliseconds(86400000)},
        {{"--timeout", "update"}, std::nullopt},
        {{"update", "--timeout"}, std::nullopt},
        {{"--timeout=0", "update"}, std::nullopt},
        {{"--timeout=-1", "update"}, std::nullopt},
        {{"--timeout=86400.5", "update"}, std::nullopt},
        {{"--timeout=1e3", "update"}, std::nullopt},
        {{"--timeout=nan", "update"}, std::nullopt},
        {{"--timeout=5s", "update"}, std::nullopt},
        {{"--timeout=", "update"}, std::nullopt},
        {{"--json=1", "update"}, std::nullopt},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(joined(testCase.words));
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            const Expected<Command, UsageError> command = parseCommandLine(testCase.words);
            ASSERT_EQ(command.has_value(), testCase.kind.has_value())
                << (command ? "" : command.error().text);
            if (command) {
                EXPECT_EQ(command->kind, *testCase.kind);
                EXPECT_EQ(command->arguments, testCase.arguments);
                EXPECT_EQ(command->topic, testCase.topic);
                EXPECT_EQ(command->json, testCase.json);
                EXPECT_EQ(command->timeout, testCase.timeout);
            }
        }();
    }
}

TEST(CommandLineTest, RelativePathsAreJoinedToTheDirectoryAsTheyAre) {
    const std::string caches(testing::layout::firstArea);
    const struct {
        std::string path;
        std::string directory;
        std::string expected;
    } cases[] = {
        {"a", caches, caches + "/a"},
        {"a", "/", "/a"},
        {"a", caches + "/", caches + "/a"},
        {".", caches, caches + "/."},
        {"./a//b/", caches, caches + "/./a//b/"},
        {"../Preferences/x", caches, caches + "/../Preferences/x"},
        {"-a", "/tmp", "/tmp/-a"},
        {"/etc/passwd", caches, "/etc/passwd"},
        {"", caches, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " in " + c.directory);
        EXPECT_EQ(absoluteAgainst(c.path, c.directory), c.expected);
    }
}

TEST(ResultReportTest, OnlyAFullSuccessIsStatusZero) {
    const Command removeTwo{Command::Kind::remove, Command::Kind::help, {"/a", "/b"}};
    const Command repair{Command::Kind::repair, Command::Kind::help, {"/a"}};
    const std::string notAuthorized(notAuthorizedMessage);
    const struct {
        const Command* command;
        PrivilegedResult result;
        int status;
        std::string line;
    } cases[] = {
        {&removeTwo,
         {true, "2 Pfade entfernt", 2000},
         exitSuccess,
         "2 Pfade entfernt (2,0 kB freigegeben)\n"},
        {&removeTwo,
         {true, "1 Pfade entfernt, 1 durch Policy abgelehnt", 5},
         exitOperationFailed,
         "1 Pfade entfernt, 1 durch Policy abgelehnt (5 Bytes freigegeben)\n"},
        {&removeTwo,
         {true, "0 Pfade entfernt, 2 durch Policy abgelehnt", 0},
         exitOperationFailed,
         "0 Pfade entfernt, 2 durch Policy abgelehnt (0 Bytes freigegeben)\n"},
        {&removeTwo,
         {false, "2 Pfade entfernt", 0},
         exitOperationFailed,
         "2 Pfade entfernt (0 Bytes freigegeben)\n"},
        {&removeTwo,
         {true, "3 Pfade entfernt", 0},
         exitOperationFailed,
         "3 Pfade entfernt (0 Bytes freigegeben)\n"},
        {&removeTwo,
         {true, "Erledigt", 0},
         exitOperationFailed,
         "Erledigt (0 Bytes freigegeben)\n"},
        {&repair, {true, "Rechte gesetzt: /a", 0}, exitSuccess, "Rechte gesetzt: /a\n"},
        {&repair, {false, "Fehler", 0}, exitOperationFailed, "Fehler\n"},
        {&repair,
         {false, notAuthorized, 0},
         exitOperationFailed,
         "tavelinctl: not authorised: the system's policy (polkit) does not let this user have "
         "that done; nothing was changed (Nicht autorisiert)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result.message());
        const Report report = reportFor(*c.command, c.result);
        EXPECT_EQ(report.status, c.status);
        EXPECT_EQ(report.line, c.line);
    }
}

TEST(ByteCountTextTest, RoundsToTenthsOfDecimalUnits) {
    constexpr std::int64_t maximum = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t minimum = std::numeric_limits<std::int64_t>::min();
    const std::vector<std::pair<std::int64_t, std::string>> cases = {
        {0, "0 Bytes"},       {1, "1 Byte"},       {999, "999 Bytes"},
        {1000, "1,0 kB"},     {1050, "1,1 kB"},    {999949, "999,9 kB"},
        {999950, "1,0 MB"},   {1572864, "1,6 MB"}, {1234567890123, "1,2 TB"},
        {maximum, "9,2 EB"},  {-1, "-1 Byte"},     {-1500, "-1,5 kB"},
        {minimum, "-9,2 EB"},
    };
    for (const auto& [bytes, expected] : cases) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(humanByteCount(bytes), expected);
    }
}

// Reads what the indicator drew into a pipe until it reaches `needle` or the writer closes.
std::string readUntil(int fd, const std::string& needle, std::string text = {}) {
    char buffer[256];
    while (text.find(needle) == std::string::npos) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
    return text;
}

TEST(ElapsedIndicatorTest, DrawsWhileRunningAndLeavesABlankLine) {
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    std::string drawn;
    {
        const ElapsedIndicator indicator(pipeFds[1], true, std::chrono::milliseconds(5));
        // The indicator's own output is the test's only clock: wait for its first draw.
        drawn = readUntil(pipeFds[0], " s");
    }
    ::close(pipeFds[1]);
    drawn += readUntil(pipeFds[0], "\x01", {});  // the rest, up to end of file
    ::close(pipeFds[0]);

    // "\r… N s" per tick, then "\r" + blanks as wide as the widest text + "\r".
    ASSERT_EQ(drawn.rfind("\r\u2026 0 s", 0), 0U) << drawn;
    ASSERT_EQ(drawn.back(), '\r') << drawn;
    const std::size_t lastDraw = drawn.rfind('\r', drawn.size() - 2);
    const std::string blanks = drawn.substr(lastDraw + 1, drawn.size() - lastDraw - 2);
    EXPECT_EQ(blanks, std::string(blanks.size(), ' ')) << drawn;
    EXPECT_GE(blanks.size(), 5U) << drawn;  // "… 0 s" is five columns wide
}

TEST(ElapsedIndicatorTest, DisabledOrQuickCallsDrawNothing) {
    for (const bool enabled : {false, true}) {
        SCOPED_TRACE(enabled ? "enabled, stopped before its first tick" : "disabled");
        [&] {
            int pipeFds[2];
            ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
            { const ElapsedIndicator indicator(pipeFds[1], enabled, std::chrono::hours(1)); }
            ::close(pipeFds[1]);
            EXPECT_EQ(readUntil(pipeFds[0], "\x01"), "");
            ::close(pipeFds[0]);
        }();
    }
}

}  // namespace
}  // namespace tavelin::tavelinctl
