#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ByteCountText.h"
#include "CommandLine.h"
#include "ElapsedIndicator.h"

namespace tavelin::tavelinctl {
namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += "[" + word + "]";
    }
    return text;
}

TEST(CommandLineTest, AcceptsExactlyTheDocumentedForms) {
    using Kind = Command::Kind;
    struct Case {
        std::vector<std::string> words;
        std::optional<Kind> kind;  // nothing: usage error
    };
    const std::vector<Case> cases = {
        {{}, std::nullopt},
        {{"version"}, Kind::version},
        {{"version", "extra"}, std::nullopt},
        {{"perform", R"({"installSystemUpdates":{}})"}, Kind::perform},
        {{"perform", ""}, Kind::perform},
        {{"perform"}, std::nullopt},
        {{"remove", "/Library/Caches/a"}, Kind::remove},
        {{"remove", "/Library/Caches/a", "-b", "--help"}, Kind::remove},
        {{"remove"}, std::nullopt},
        {{"repair", "/Library/Logs/x"}, Kind::repair},
        {{"repair", "a", "b"}, std::nullopt},
        {{"update"}, Kind::update},
        {{"update", "now"}, std::nullopt},
        {{"--help"}, Kind::help},
        {{"Version"}, std::nullopt},
        {{"--version"}, std::nullopt},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(joined(testCase.words));
        const std::optional<Command> command = parseCommandLine(testCase.words);
        ASSERT_EQ(command.has_value(), testCase.kind.has_value());
        if (command) {
            EXPECT_EQ(command->kind, *testCase.kind);
            EXPECT_EQ(command->arguments,
                      std::vector<std::string>(testCase.words.begin() + 1, testCase.words.end()));
        }
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
        int pipeFds[2];
        ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
        { const ElapsedIndicator indicator(pipeFds[1], enabled, std::chrono::hours(1)); }
        ::close(pipeFds[1]);
        EXPECT_EQ(readUntil(pipeFds[0], "\x01"), "");
        ::close(pipeFds[0]);
    }
}

}  // namespace
}  // namespace tavelin::tavelinctl
