#include "UpdateRunner.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "ServiceTestSupport.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {
namespace {

// "1\n2\n...\n<last>\n", as seq prints it.
std::string numberLines(int last) {
    std::string lines;
    for (int i = 1; i <= last; ++i) {
        lines += std::to_string(i) + '\n';
    }
    return lines;
}

TEST(UpdateRunnerTests, CollectsEveryByteOfBothStreamsExactlyOnce) {
    testing::ScratchDirectory scratch;
    struct Case {
        std::string name;
        std::string body;
        std::int32_t status;
        std::string output;
        int rounds = 1;
    };
    const Case cases[] = {
        {"mixed", "echo a\necho b >&2\nprintf c\necho d >&2", 0, "a\nb\ncd\n"},
        {"arguments", "printf '%s|' \"$#\" \"$@\"", 0, "3|--install|--all|--agree-to-license|"},
        // Less than a pipe's capacity and exit at once: much of it is still in the pipe when
        // the child has ended, and whether the collecting thread or the final read picks up
        // the last chunk differs from run to run; the output must not.
        {"burst-then-exit", "seq 1 12000\nexit 5", 5, numberLines(12000), 30},
        // Megabytes: the tool would block on a full pipe if nobody read while it runs.
        {"megabytes", "seq 1 400000\nseq 1 400000 >&2", 0, numberLines(400000) + numberLines(400000)},
        // Something the tool leaves behind still writes after the tool has ended.
        {"background-writer", "(sleep 0.3; echo late) &\necho early", 0, "early\nlate\n"},
        // Nothing of the daemon's reaches the tool: only the three standard descriptors.
        // (The shell reading this script holds it open, so a shell it execs lists them.)
        {"descriptors", "exec /bin/sh -c 'ls /proc/$$/fd; true'", 0, "0\n1\n2\n"},
    };
    const int careless = ::open("/dev/null", O_RDONLY);  // without O_CLOEXEC
    for (const auto& c : cases) {
        const std::string tool = scratch.tool(c.name, c.body);
        for (int round = 0; round < c.rounds; ++round) {
            auto outcome = runCollectingOutput(tool, {"--install", "--all", "--agree-to-license"});
            ASSERT_TRUE(std::holds_alternative<ToolRun>(outcome)) << c.name;
            const ToolRun& run = std::get<ToolRun>(outcome);
            EXPECT_EQ(run.status, c.status) << c.name;
            ASSERT_TRUE(run.output == c.output)
                << c.name << " round " << round << ": " << run.output.size() << " bytes instead of "
                << c.output.size() << ": " << run.output.substr(0, 200);
        }
    }
    ::close(careless);
}

TEST(UpdateRunnerTests, InstallSystemUpdatesJudgesTheRun) {
    testing::ScratchDirectory scratch;
    const std::string replacement = "\xEF\xBF\xBD";
    const std::tuple<std::string, std::string, bool, std::string> cases[] = {
        {"silent", "exit 0", true, "Systemupdates installiert."},
        {"stderr-only", "echo 'No updates are available.' >&2", true, "Keine Systemupdates verf\u00fcgbar."},
        {"failing", "echo one\necho two >&2\nexit 3", false, "softwareupdate Exit 3: one \u00b7 two"},
        {"invalid-utf8", "printf 'bad \\377\\376 end\\ncut \\342\\202x\\n'\nexit 1", false,
         "softwareupdate Exit 1: bad " + replacement + replacement + " end \u00b7 cut " + replacement + "x"},
        {"killed", "echo going\nkill -KILL $$", false, "softwareupdate Exit 9: going"},
        {"missing", "", false, "Start fehlgeschlagen: No such file or directory"},
    };
    for (const auto& [name, body, success, message] : cases) {
        const PrivilegedResult result = installSystemUpdates(
            body.empty() ? scratch.path() + "/" + name : scratch.tool(name, body));
        EXPECT_EQ(result.success(), success) << name;
        EXPECT_EQ(result.message(), message) << name;
        EXPECT_EQ(result.freedBytes(), 0) << name;
    }
}

}  // namespace
}  // namespace tavelin
