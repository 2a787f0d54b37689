#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "ByteCountText.h"
#include "ChildProcess.h"
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

// What the built tavelinctl wrote on stderr (stdout is discarded) and its exit status, run
// with TAVELIN_SERVICE_NAME=`serviceName`.
std::pair<int, std::string> runTavelinctl(const std::string& serviceName,
                                          const std::vector<std::string>& arguments) {
    std::vector<std::string> words = {"-c",
                                      "exec \"$@\" >/dev/null",
                                      "tavelinctl",
                                      "/usr/bin/env",
                                      "TAVELIN_SERVICE_NAME=" + serviceName,
                                      TAVELINCTL_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    auto started = spawnWithCombinedOutput("/bin/sh", words);
    if (!started) {
        ADD_FAILURE() << "cannot start tavelinctl: " << started.error().text();
        return {-1, {}};
    }
    std::string stderrText;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(started->output.get(), buffer, sizeof buffer)) > 0 ||
           (count < 0 && errno == EINTR)) {
        stderrText.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    }
    const auto ended = started->child.wait();
    return {ended && !ended->signaled ? ended->code : -1, stderrText};
}

// A file name may be any bytes, a request only UTF-8 text. tavelinctl must refuse such a
// path before it connects, and not send it in another spelling that names another file.
// No daemon serves the name used here, so connecting at all would end in status 2.
TEST(TavelinctlProcessTest, RefusesPathsThatAreNotUtf8BeforeConnecting) {
    const std::string unusedName =
        "de.morvane.Tavelin.helper.test." + std::to_string(::getpid()) + ".unused";
    const std::string refusalEnd =
        " is not valid UTF-8, and a request can carry only UTF-8 text; nothing was sent\n";
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string stderrText;
    } cases[] = {
        {{"repair", "/tmp/a\xFF"}, exitUsage, "tavelinctl: the path \"/tmp/a\\xFF\"" + refusalEnd},
        // The first bad path is named; well-formed text, quotes and controls are shown too.
        {{"remove", "/tmp/\xC3\xBC\"ok\"", "/tmp/\"q\"\t\xC3", "/tmp/\xFF"},
         exitUsage,
         "tavelinctl: the path \"/tmp/\\\"q\\\"\\x09\\xC3\"" + refusalEnd},
        {{"remove", "/tmp/\xED\xA0\x80"},  // an encoded surrogate
         exitUsage,
         "tavelinctl: the path \"/tmp/\\xED\\xA0\\x80\"" + refusalEnd},
        // The same command with a UTF-8 path does try to connect.
        {{"repair", "/tmp/\xC3\xBC"},
         exitNoAnswer,
         "tavelinctl: the Tavelin helper is not running (service " + unusedName + ")\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(joined(c.arguments));
        const auto [status, stderrText] = runTavelinctl(unusedName, c.arguments);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(stderrText, c.stderrText);
    }
}

}  // namespace
}  // namespace tavelin::tavelinctl
