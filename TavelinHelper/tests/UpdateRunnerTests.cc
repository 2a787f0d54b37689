#include "UpdateRunner.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServiceTestSupport.h"
#include "TavelinShared/PrivilegedResult.h"

namespace tavelin {
namespace {

using testing::ScratchDirectory;

// "1\n2\n...\n<last>\n", as seq prints it.
std::string numberLines(int last) {
    std::string lines;
    for (int i = 1; i <= last; ++i) {
        lines += std::to_string(i);
        lines += '\n';
    }
    return lines;
}

ToolRun runTool(const std::string& tool) {
    auto outcome = runCollectingOutput(tool, {"--install", "--all", "--agree-to-license"});
    if (const auto* error = std::get_if<SystemError>(&outcome)) {
        ADD_FAILURE() << tool << ": start failed: " << error->text();
        return {};
    }
    return std::get<ToolRun>(outcome);
}

TEST(UpdateRunnerTests, CollectsEveryByteOfBothStreamsExactlyOnce) {
    ScratchDirectory scratch;
    struct Case {
        std::string name;
        std::string body;
        std::int32_t status;
        std::string output;
    };
    const Case cases[] = {
        {"silent", "exit 0", 0, ""},
        {"stderr-only", "echo 'went wrong' >&2\nexit 2", 2, "went wrong\n"},
        {"mixed", "echo a\necho b >&2\nprintf c\necho d >&2", 0, "a\nb\ncd\n"},
        {"arguments", "printf '%s|' \"$#\" \"$@\"", 0, "3|--install|--all|--agree-to-license|"},
        // Less than a pipe's capacity and exit at once: much of it is still in the pipe
        // when the child has ended.
        {"burst-then-exit", "seq 1 9000\nexit 5", 5, numberLines(9000)},
        // Megabytes: the tool would block on a full pipe if nobody read while it runs.
        {"megabytes", "seq 1 400000\nseq 1 400000 >&2", 0, numberLines(400000) + numberLines(400000)},
        // Something the tool leaves behind still writes after the tool has ended; the run
        // reads until every writer has closed the pipe.
        {"background-writer", "(sleep 0.3; echo late) &\necho early", 0, "early\nlate\n"},
        {"killed", "echo going\nkill -KILL $$", 9, "going\n"},
        {"terminated", "kill -TERM $$", 15, ""},
        {"invalid-utf8", "printf 'a\\377b\\342\\202c'\nexit 1", 1, "a\xff" "b\xe2\x82" "c"},
        // Nothing of the daemon's reaches the tool: only the three standard descriptors.
        // (The shell reading this script holds the script open itself, so the listing is
        // made by a shell it replaces itself with.)
        {"descriptors", "exec /bin/sh -c 'ls /proc/$$/fd; true'", 0, "0\n1\n2\n"},
    };
    // A descriptor without O_CLOEXEC must not leak either.
    const int careless = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(careless, 0);
    for (const auto& c : cases) {
        const ToolRun run = runTool(scratch.tool(c.name, c.body));
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_EQ(run.output.size(), c.output.size()) << c.name;
        EXPECT_TRUE(run.output == c.output) << c.name << ": got " << run.output.substr(0, 200);
    }
    ::close(careless);
}

TEST(UpdateRunnerTests, OutputStillInThePipeAtExitIsNeverLostOrDoubled) {
    // Whether the collecting thread or the final read picks up the last chunk differs from
    // run to run; the output must not.
    ScratchDirectory scratch;
    const std::string tool = scratch.tool("burst", "seq 1 12000\nexit 0");
    const std::string expected = numberLines(12000);
    for (int round = 0; round < 30; ++round) {
        const ToolRun run = runTool(tool);
        ASSERT_EQ(run.status, 0) << "round " << round;
        ASSERT_TRUE(run.output == expected) << "round " << round << ": " << run.output.size()
                                            << " bytes instead of " << expected.size();
    }
}

TEST(UpdateRunnerTests, InstallSystemUpdatesJudgesTheRun) {
    ScratchDirectory scratch;
    const std::string replacement = "\xEF\xBF\xBD";
    struct Case {
        std::string name;
        std::string body;  // empty: the tool does not exist
        PrivilegedResult expected;
    };
    const Case cases[] = {
        {"silent", "exit 0", PrivilegedResult(true, "Systemupdates installiert.", 0)},
        {"checks-arguments",
         "[ \"$*\" = '--install --all --agree-to-license' ] || { echo \"args: $*\"; exit 64; }",
         PrivilegedResult(true, "Systemupdates installiert.", 0)},
        {"stderr-only", "echo 'No updates are available.' >&2",
         PrivilegedResult(true, "Keine Systemupdates verf\u00fcgbar.", 0)},
        {"failing", "echo one\necho two >&2\nexit 3",
         PrivilegedResult(false, "softwareupdate Exit 3: one \u00b7 two", 0)},
        {"invalid-utf8", "printf 'bad \\377\\376 end\\ncut \\342\\202x\\n'\nexit 1",
         PrivilegedResult(false,
                          "softwareupdate Exit 1: bad " + replacement + replacement +
                              " end \u00b7 cut " + replacement + "x",
                          0)},
        {"killed", "echo going\nkill -KILL $$",
         PrivilegedResult(false, "softwareupdate Exit 9: going", 0)},
        {"missing", "",
         PrivilegedResult(false, "Start fehlgeschlagen: No such file or directory", 0)},
    };
    for (const auto& c : cases) {
        const std::string tool =
            c.body.empty() ? scratch.path() + "/" + c.name : scratch.tool(c.name, c.body);
        const PrivilegedResult result = installSystemUpdates(tool);
        EXPECT_EQ(result.success(), c.expected.success()) << c.name;
        EXPECT_EQ(result.message(), c.expected.message()) << c.name;
        EXPECT_EQ(result.freedBytes(), 0) << c.name;
    }
    const PrivilegedResult notExecutable =
        installSystemUpdates(scratch.file("plain", "#!/bin/sh\nexit 0\n", 0644));
    EXPECT_FALSE(notExecutable.success());
    EXPECT_EQ(notExecutable.message(), "Start fehlgeschlagen: Permission denied");
}

}  // namespace
}  // namespace tavelin
