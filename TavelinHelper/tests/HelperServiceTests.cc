// The update runner, with fake update tools (shell scripts).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "CapturingLogSink.h"
#include "ChildProcess.h"
#include "ClientFileSystem.h"
#include "ScratchTree.h"
#include "TavelinShared/PrivilegedResult.h"
#include "ToolRun.h"
#include "UpdateInstallation.h"

namespace tavelin {
namespace {

// A fake update tool below the scratch root: a shell script with `body`.
std::string tool(const testing::ScratchTree& scratch, const std::string& name,
                 const std::string& body) {
    std::string path = scratch.real("/" + name);
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
}

// "1\n2\n...\n<last>\n", as seq prints it.
std::string numberLines(int last) {
    std::string lines;
    for (int i = 1; i <= last; ++i) {
        lines += std::to_string(i) + '\n';
    }
    return lines;
}

TEST(UpdateRunnerTest, CollectsEveryByteOfBothStreamsExactlyOnce) {
    const testing::ScratchTree scratch;
    const std::tuple<std::string, std::string, std::int32_t, std::string, int> cases[] = {
        {"mixed", "printf '%s|' \"$#\" \"$@\"\necho b >&2\nprintf c\necho d >&2", 0,
         "3|--install|--all|--agree-to-license|b\ncd\n", 1},
        // Still in the pipe when the tool has ended; whether the collecting thread or the
        // final read picks up the last chunk differs from run to run, the output must not.
        {"burst-then-exit", "seq 1 12000\nexit 5", 5, numberLines(12000), 30},
        // Megabytes: the tool would block on a full pipe if nobody read while it runs.
        {"megabytes", "seq 1 400000\nseq 1 400000 >&2", 0,
         numberLines(400000) + numberLines(400000), 1},
        // Something the tool leaves behind still writes after the tool has ended.
        {"background-writer", "(sleep 0.3; echo late) &\necho early", 0, "early\nlate\n", 1},
        // Only the standard descriptors reach the tool (the script's own shell holds it open).
        {"descriptors", "exec /bin/sh -c 'ls /proc/$$/fd; true'", 0, "0\n1\n2\n", 1},
        // The daemon ignores SIGPIPE; the tool must not inherit that.
        {"sigpipe", "kill -PIPE $$\necho ignored", SIGPIPE, "", 1},
    };
    const int careless = ::open("/dev/null", O_RDONLY);  // without O_CLOEXEC
    (void)::signal(SIGPIPE, SIG_IGN);
    for (const auto& [name, body, status, output, rounds] : cases) {
        const std::string path = tool(scratch, name, body);
        for (int round = 0; round < rounds; ++round) {
            auto outcome = runCollectingOutput(path, {"--install", "--all", "--agree-to-license"});
            ASSERT_TRUE(outcome.has_value()) << name;
            const ToolRun& run = *outcome;
            EXPECT_EQ(run.status, status) << name;
            ASSERT_TRUE(run.output == output)
                << name << " round " << round << ": " << run.output.size() << " bytes, not "
                << output.size() << ": " << run.output.substr(0, 200);
        }
    }
    ::close(careless);
}

// How the tool is started is tested above; here only the error path, where nobody waits.
TEST(UpdateRunnerTest, AnAbandonedChildIsKilledAndReaped) {
    pid_t pid = -1;
    {
        auto spawned = spawnWithCombinedOutput("/bin/sh", {"-c", "exec sleep 600"});
        pid = spawned->child.pid();
    }
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1) << "not even a zombie";
    EXPECT_EQ(errno, ECHILD);
}

TEST(UpdateRunnerTest, InstallSystemUpdatesJudgesTheRun) {
    const testing::ScratchTree scratch;
    const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
    const std::tuple<std::string, std::string, bool, std::string> cases[] = {
        {"silent", "exit 0", true, "Systemupdates installiert."},
        {"stderr-only", "echo 'No updates are available.' >&2", true,
         "Keine Systemupdates verf\u00fcgbar."},
        {"invalid-utf8", "printf 'bad \\377\\376 end\\ncut \\342\\202x\\n'\nexit 1", false,
         "softwareupdate Exit 1: bad " + bad + bad + " end \u00b7 cut " + bad + "x"},
        {"killed", "echo going\nkill -KILL $$", false, "softwareupdate Exit 9: going"},
        {"sh", "", false, "Start fehlgeschlagen: No such file or directory"},  // never in PATH
    };
    for (const auto& [name, body, success, message] : cases) {
        const auto result = installSystemUpdates(body.empty() ? name : tool(scratch, name, body));
        EXPECT_EQ(result.success(), success) << name;
        EXPECT_EQ(result.message(), message) << name;
    }
}

}  // namespace
}  // namespace tavelin
