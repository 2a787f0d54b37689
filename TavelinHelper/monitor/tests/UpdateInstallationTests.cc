// The update runner, with fake update tools (shell scripts).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TavelinHelper/common/ToolRun.h"
#include "TavelinHelper/monitor/UpdateInstallation.h"
#include "TavelinPlatform/core/tests/CapturingLogSink.h"
#include "TavelinPlatform/fs/ClientFileSystem.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"
#include "TavelinPlatform/process/ChildProcess.h"
#include "TavelinShared/PrivilegedResult.h"

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

// Far beyond anything these tools take, so only the limit a test shortens comes into play.
constexpr ToolRunLimits generousLimits{std::chrono::minutes(10), std::chrono::minutes(1)};

// Runs `path` with the update tool's arguments, started as spawnWithCombinedOutput does by
// default, and answers its status and everything it wrote.
std::pair<std::int32_t, std::string> runWhole(const std::string& path) {
    std::string output;
    const auto status =
        runTool(path, {"--install", "--all", "--agree-to-license"}, {}, generousLimits,
                [&output](std::string_view bytes) { output += bytes; });
    return {status.value_or(-2), output};
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(UpdateRunnerTest, CollectsEveryByteOfBothStreamsExactlyOnce) {
    const testing::ScratchTree scratch;
    const std::tuple<std::string, std::string, std::int32_t, std::string, int> cases[] = {
        {"mixed", "printf '%s|' \"$#\" \"$@\"\necho b >&2\nprintf c\necho d >&2", 0,
         "3|--install|--all|--agree-to-license|b\ncd\n", 1},
        // Still in the pipe when the tool has ended.
        {"burst-then-exit", "seq 1 12000\nexit 5", 5, numberLines(12000), 30},
        // Megabytes: the tool would block on a full pipe if nobody read while it runs.
        {"megabytes", "seq 1 400000\nseq 1 400000 >&2", 0,
         numberLines(400000) + numberLines(400000), 1},
        // Something the tool leaves behind still writes after the tool has ended, within
        // the drain time.
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
            const auto [runStatus, runOutput] = runWhole(path);
            EXPECT_EQ(runStatus, status) << name;
            ASSERT_TRUE(runOutput == output)
                << name << " round " << round << ": " << runOutput.size() << " bytes, not "
                << output.size() << ": " << runOutput.substr(0, 200);
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

TEST(UpdateRunnerTest, AConsumerThatThrowsEndsTheRunOnceTheToolIsReaped) {
    const testing::ScratchTree scratch;
    const std::string pidFile = scratch.real("/pid");
    // Megabytes after the first chunk: the tool finishes only if the pipe is still drained.
    const std::string path =
        tool(scratch, "verbose", "echo $$ > '" + pidFile + "'\nseq 1 400000\nexit 4");
    EXPECT_THROW(static_cast<void>(runTool(path, {}, {}, generousLimits,
                                           [](std::string_view) { throw std::bad_alloc(); })),
                 std::bad_alloc);
    const pid_t pid = std::stoi(readFile(pidFile));
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1) << "not even a zombie";
    EXPECT_EQ(errno, ECHILD);
}

// The verdicts on a tool's runs are checked beside the runner's, which must answer alike
// (UpdateRunnerProcessTest); here only that a tool named without a folder is never looked
// up in PATH.
TEST(UpdateInstallerTest, AToolNamedWithoutAFolderIsNotLookedUpInPath) {
    const PrivilegedResult result = UpdateInstaller("sh").install();
    EXPECT_FALSE(result.success());
    EXPECT_EQ(result.message(), "Start fehlgeschlagen: No such file or directory");
}

TEST(UpdateInstallerTest, StartsTheToolWithNothingOfTheDaemonsButWhatItIsGiven) {
    const testing::ScratchTree scratch;
    // The tool reports in three lines, which the verdict on its failure shows: its initial
    // environment, then its directory, input and mask, then whether it leads its group.
    const std::string path = tool(scratch, "report",
                                  "tr '\\0' ';' < /proc/$$/environ; echo\n"
                                  "echo \"cwd=$(readlink /proc/$$/cwd) "
                                  "stdin=$(readlink /proc/$$/fd/0) umask=$(umask)\"\n"
                                  "[ \"$(cut -d' ' -f5 /proc/$$/stat)\" = $$ ] && echo 'own group' "
                                  "|| echo 'shared group'\nexit 1");
    // This process differs in each respect: an extra variable, the build folder as working
    // directory, a pipe as standard input, a strict mask until start-up sets the tool's.
    ASSERT_EQ(::setenv("TAVELIN_INHERITED", "1", 1), 0);
    const mode_t daemonMask = ::umask(077);
    applyUpdateToolUmask();  // as the daemon's main does at start-up
    int input[2] = {-1, -1};
    ASSERT_EQ(::pipe(input), 0);
    const int savedInput = ::dup(STDIN_FILENO);
    ::dup2(input[0], STDIN_FILENO);

    const PrivilegedResult result = UpdateInstaller(path).install();

    ::dup2(savedInput, STDIN_FILENO);
    for (const int fd : {savedInput, input[0], input[1]}) {
        ::close(fd);
    }
    ::umask(daemonMask);
    ::unsetenv("TAVELIN_INHERITED");
    EXPECT_EQ(result.message(),
              "softwareupdate Exit 1: PATH=/usr/sbin:/usr/bin:/sbin:/bin;LANG=C; \u00b7 cwd=/ "
              "stdin=/dev/null umask=0022 \u00b7 own group");
}

TEST(UpdateInstallerTest, KillsAToolThatRunsTooLongWithEverythingInItsGroup) {
    const testing::ScratchTree scratch;
    const std::string grandchildFile = scratch.real("/grandchild");
    // Both would sleep far beyond the timeout; the grandchild keeps the pipe open too.
    const std::string path =
        tool(scratch, "hangs",
             "sleep 30 &\necho $! > '" + grandchildFile + "'\necho started\nexec sleep 30");
    // Orphans come to this process, so the grandchild's end can be waited for.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    UpdateInstaller installer(path, std::chrono::seconds(3), std::chrono::seconds(1));
    const PrivilegedResult result = installer.install();
    const pid_t grandchild = std::stoi(readFile(grandchildFile));
    int waitStatus = 0;
    const pid_t reaped = ::waitpid(grandchild, &waitStatus, 0);
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 0), 0);
    EXPECT_EQ(result.message(), "softwareupdate Exit 9: started");
    ASSERT_EQ(reaped, grandchild);
    EXPECT_TRUE(WIFSIGNALED(waitStatus) && WTERMSIG(waitStatus) == SIGKILL)
        << "the grandchild ended on its own";
}

TEST(UpdateInstallerTest, AnswersOnceTheToolHasEndedThoughSomethingItLeftHoldsThePipe) {
    const testing::ScratchTree scratch;
    // Each leaves a process behind that keeps the pipe open for half a minute, then leaves
    // a mark; a run that waited for the pipe to close would find the mark.
    const std::pair<std::string, std::string> leftBehind[] = {
        {"silent", "(sleep 30; touch '" + scratch.real("/silent.finished") + "') &"},
        {"writing",
         "(i=0; while [ $i -lt 300 ]; do echo tick; sleep 0.1; i=$((i+1)); done; touch '" +
             scratch.real("/writing.finished") + "') &"},
    };
    for (const auto& [name, background] : leftBehind) {
        const std::string path =
            tool(scratch, name, background + "\necho 'No updates are available.'\nexit 0");
        UpdateInstaller installer(path, std::chrono::minutes(10), std::chrono::seconds(1));
        EXPECT_EQ(installer.install().message(), "Keine Systemupdates verf\u00fcgbar.") << name;
        EXPECT_FALSE(scratch.exists("/" + name + ".finished")) << name;
    }
}

TEST(UpdateInstallerTest, RequestsTakeTurnsOneRunAfterTheOther) {
    const testing::ScratchTree scratch;
    const std::string log = scratch.real("/log");
    // Each run notes its start, waits up to two seconds for a second start, notes its end.
    const std::string path = tool(
        scratch, "turns",
        "echo \"start $$\" >> '" + log + "'\ni=0\nwhile [ $i -lt 20 ] && [ \"$(grep -c start '" +
            log + "')\" -lt 2 ]; do sleep 0.1; i=$((i+1)); done\necho \"end $$\" >> '" + log +
            "'\necho 'Restart required'");
    UpdateInstaller installer(path);
    std::string answers[2];
    std::thread other([&] { answers[1] = installer.install().message(); });
    answers[0] = installer.install().message();
    other.join();
    for (const std::string& answer : answers) {
        EXPECT_EQ(answer, "Systemupdates installiert \u2013 Neustart erforderlich.");
    }
    std::vector<std::string> lines;
    std::istringstream in(readFile(log));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 4U) << readFile(log);
    const std::string first = lines[0].substr(lines[0].find(' ') + 1);
    const std::string second = lines[2].substr(lines[2].find(' ') + 1);
    EXPECT_EQ(lines, (std::vector<std::string>{"start " + first, "end " + first, "start " + second,
                                               "end " + second}));
}

// Kibibytes from a /proc/self/status line such as "VmHWM:     1234 kB".
long statusKibibytes(const std::string& field) {
    std::istringstream status(readFile("/proc/self/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":")) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

TEST(UpdateInstallerTest, AGibibyteOfOutputLeavesMemoryAlmostUntouched) {
    const testing::ScratchTree scratch;
    // Sanitizers hold freed memory back and run far slower: there a smaller output checks
    // the verdict only.
    const std::string size = sanitized ? "67108864" : "1073741824";
    const std::string path = tool(scratch, "verbose",
                                  "echo 'Not authorized'\nyes | head -c " + size +
                                      "\nprintf '\\nfirst\\nsecond\\nthird\\n'\nexit 7");
    UpdateInstaller installer(path);
    // The peak so far is forgotten: from here on VmHWM is the peak of this run.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKibibytes("VmRSS");
    const PrivilegedResult result = installer.install();
    const long growth = statusKibibytes("VmHWM") - before;
    EXPECT_EQ(result.message(),
              "softwareupdate Exit 7: first \u00b7 second \u00b7 third \u2013 dieses Update "
              "verlangt die Anmeldung eines Administrators; bitte in den Systemeinstellungen "
              "unter \u201eSoftwareupdate\u201c installieren.");
    if (!sanitized) {
        EXPECT_LT(growth, 64L * 1024) << "KiB more at the peak";
    }
}

}  // namespace
}  // namespace tavelin
