// The update runner for real: the daemon's side (UpdateInstaller, runUpdateToolThroughRunner)
// against the runner executable, started per connection as its socket unit starts it, with
// a stand-in for the update tool; and the daemon's side against runners that misbehave.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "TavelinHelper/monitor/UpdateInstallation.h"
#include "TavelinHelper/monitor/UpdateRunnerClient.h"
#include "TavelinHelper/runner/UpdateRunnerProtocol.h"
#include "TavelinHelper/runner/tests/RunnerTestTool.h"
#include "TavelinHelper/runner/tests/SocketUnitStandIn.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"
#include "TavelinPlatform/process/ChildProcess.h"

namespace tavelin {
namespace {

using testing::RunnerWorld;
const std::string& toolPath = testing::runnerToolPath;
using testing::placeRunnerTool;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(UpdateRunnerProcessTest, AnswersAsTheDaemonRunningTheToolItselfWould) {
    const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
    struct Case {
        const char* name;
        std::string body;
        mode_t mode;
        std::string message;
        bool success = false;
    };
    const Case cases[] = {
        {"silent", "exit 0", 0755, "Systemupdates installiert.", true},
        {"stderr only", "echo 'No updates are available.' >&2", 0755,
         "Keine Systemupdates verf\u00fcgbar.", true},
        {"invalid utf-8", "printf 'bad \\377\\376 end\\ncut \\342\\202x\\n'\nexit 1", 0755,
         "softwareupdate Exit 1: bad " + bad + bad + " end \u00b7 cut " + bad + "x"},
        {"killed", "echo going\nkill -KILL $$", 0755, "softwareupdate Exit 9: going"},
        {"terminated", "echo going\nkill -TERM $$", 0755, "softwareupdate Exit 15: going"},
        // Many messages' worth: every byte arrives, in order (the last lines are shown).
        {"megabytes", "seq 1 300000\nexit 3", 0755,
         "softwareupdate Exit 3: 299998 \u00b7 299999 \u00b7 300000"},
        // Started as the daemon starts it: fixed environment, "/", /dev/null, mask 022, a
        // process group of its own, whatever the runner itself was given.
        {"how it is started",
         "tr '\\0' ';' < /proc/$$/environ; echo\n"
         "echo \"cwd=$(readlink /proc/$$/cwd) stdin=$(readlink /proc/$$/fd/0) umask=$(umask)\"\n"
         "[ \"$(cut -d' ' -f5 /proc/$$/stat)\" = $$ ] && echo 'own group' || echo 'shared'\n"
         "exit 1",
         0755,
         "softwareupdate Exit 1: PATH=/usr/sbin:/usr/bin:/sbin:/bin;LANG=C; \u00b7 cwd=/ "
         "stdin=/dev/null umask=0022 \u00b7 own group"},
        {"missing", "", 0755, "Start fehlgeschlagen: No such file or directory"},
        {"not executable", "exit 0", 0644, "Start fehlgeschlagen: Permission denied"},
    };
    const mode_t mask = ::umask(022);  // the daemon's, for the tool run here
    const RunnerWorld world;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        placeRunnerTool(testCase.body, testCase.mode);
        const PrivilegedResult direct = UpdateInstaller(toolPath).install();
        const PrivilegedResult viaRunner =
            UpdateInstaller(UpdateInstaller::ThroughRunner{world.unit.path()}).install();
        EXPECT_EQ(viaRunner.message(), testCase.message);
        EXPECT_EQ(viaRunner.message(), direct.message());
        EXPECT_EQ(viaRunner.success(), testCase.success);
        EXPECT_EQ(direct.success(), testCase.success);
    }
    ::umask(mask);
}

TEST(UpdateRunnerProcessTest, RefusesAPeerThatIsNotRoot) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as another user";
    }
#if defined(TAVELIN_DEVELOPER_UID)
    if (TAVELIN_DEVELOPER_UID == 65534) {
        GTEST_SKIP() << "the developer the runner trusts is nobody";
    }
#endif
    const RunnerWorld world;
    const std::string mark = world.scratch.real("/ran");
    placeRunnerTool("touch '" + mark + "'\necho ran");
    // As nobody: the runner must close without a message and without running the tool.
    const std::optional<std::string> answer = testing::runInChild(
        [&] {
            auto connected = UpdateInstaller(UpdateInstaller::ThroughRunner{world.unit.path()});
            return connected.install().message();
        },
        true);
    ASSERT_TRUE(answer.has_value());
    // The runner hung up before any status: the status is lost (-1).
    EXPECT_EQ(*answer, "softwareupdate Exit -1: ");
    EXPECT_FALSE(world.scratch.exists("/ran"));
    // Root is served by the same runner program.
    EXPECT_EQ(
        UpdateInstaller(UpdateInstaller::ThroughRunner{world.unit.path()}).install().message(),
        "Systemupdates installiert.");
    EXPECT_TRUE(world.scratch.exists("/ran"));
    EXPECT_NE(readFile(world.log).find(
                  "[TavelinUpdateRunner] abgelehnt: uid 65534 darf das Update nicht starten"),
              std::string::npos)
        << readFile(world.log);
}

// Whether `pid` (a child of this process, as a subreaper) ended by SIGKILL within a minute;
// one still running then is killed now.
bool killedSoon(pid_t pid) {
    ChildProcess orphan(pid);
    const auto ended = orphan.awaitEnd(std::chrono::steady_clock::now() + std::chrono::minutes(1));
    if (!ended || !*ended) {
        return false;
    }
    const auto termination = orphan.wait();
    return termination && termination->signaled && termination->code == SIGKILL;
}

TEST(UpdateRunnerProcessTest, HangingUpKillsEverythingInTheToolsGroup) {
    struct Case {
        const char* how;
        std::function<std::string(const std::string& socket)> run;
    };
    const Case cases[] = {
        {"the daemon's time limit",
         [](const std::string& socket) {
             return UpdateInstaller(UpdateInstaller::ThroughRunner{socket}, std::chrono::seconds(3))
                 .install()
                 .message();
         }},
        {"a consumer that throws",
         [](const std::string& socket) {
             try {
                 static_cast<void>(runUpdateToolThroughRunner(
                     socket, {std::chrono::minutes(10), std::chrono::minutes(1)},
                     [](std::string_view) { throw std::runtime_error("enough"); }));
             } catch (const std::runtime_error& thrown) {
                 return std::string(thrown.what());
             }
             return std::string("returned");
         }},
    };
    RunnerWorld world;
    const std::string grandchildFile = world.scratch.real("/grandchild");
    // Both would sleep for ten minutes; the grandchild holds the output pipe too.
    placeRunnerTool("sleep 600 &\necho $! > '" + grandchildFile +
                    "'\necho started\nexec sleep 600");
    // Orphans come to this process, so the grandchild's end can be waited for.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.how);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            ::unlink(grandchildFile.c_str());
            const std::string answer = testCase.run(world.unit.path());
            EXPECT_TRUE(answer == "softwareupdate Exit 9: started" || answer == "enough") << answer;
            const pid_t grandchild = std::stoi(readFile(grandchildFile));
            // A runner ends once it has reaped the tool, which hands the grandchild to us.
            ASSERT_TRUE(world.unit.awaitRunners()) << "a runner still runs";
            EXPECT_TRUE(killedSoon(grandchild)) << "the grandchild ended otherwise, or runs";
        }();
    }
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 0), 0);
}

// What the daemon's side makes of a runner that sends `messages` and then hangs up (or,
// with `keepOpen`, stays silent until the daemon's time limit).
std::string outcomeOf(const std::vector<std::string>& messages, bool keepOpen = false) {
    const testing::ScratchTree scratch;
    const testing::SeqpacketListener fakeRunner(
        scratch.real("/update.socket"), [&](UniqueFd connection) {
            for (const std::string& message : messages) {
                static_cast<void>(
                    ::send(connection.get(), message.data(), message.size(), MSG_NOSIGNAL));
            }
            if (keepOpen) {
                char byte = 0;
                static_cast<void>(::recv(connection.get(), &byte, 1, 0));  // until hang-up
            }
        });
    std::string output;
    const ToolRunLimits limits{std::chrono::seconds(keepOpen ? 1 : 600), std::chrono::seconds(1)};
    const auto status = runUpdateToolThroughRunner(
        fakeRunner.path(), limits, [&](std::string_view bytes) { output += bytes; });
    const std::string result = status ? "status " + std::to_string(*status)
                                      : "errno " + std::to_string(status.error().errorNumber);
    return result + " output \"" + output + "\"";
}

std::string message(std::uint8_t type, std::string_view body) {
    return std::string(1, static_cast<char>(type)) + std::string(body);
}

TEST(UpdateRunnerClientTest, AMisbehavingRunnerNeverEndsTheDaemon) {
    using runner::endedFrame;
    using runner::maxOutputBytes;
    using runner::outputFrame;
    using runner::startFailedFrame;
    const std::string longest(maxOutputBytes, 'x');
    struct Case {
        const char* what;
        std::vector<std::string> messages;
        bool keepOpen;
        std::string outcome;
    };
    const Case cases[] = {
        {"output, then the status",
         {outputFrame("a"), outputFrame("b\n"), endedFrame(7)},
         false,
         "status 7 output \"ab\n\""},
        {"the longest output message",
         {outputFrame(longest), endedFrame(0)},
         false,
         "status 0 output \"" + longest + "\""},
        {"a status that was lost", {endedFrame(-1)}, false, "status -1 output \"\""},
        {"the start failed", {startFailedFrame(2)}, false, "errno 2 output \"\""},
        {"hang-up before the status", {outputFrame("a")}, false, "status -1 output \"a\""},
        {"silent until the time limit", {outputFrame("a")}, true, "status 9 output \"a\""},
        {"one byte too long",
         {outputFrame(longest) + "x", endedFrame(0)},
         false,
         "status -1 output \"\""},
        {"six times the longest",
         {message(1, std::string(6 * maxOutputBytes, 'y'))},
         false,
         "status -1 output \"\""},
        {"an empty message", {std::string(), endedFrame(0)}, false, "status -1 output \"\""},
        {"output without bytes", {message(1, ""), endedFrame(0)}, false, "status -1 output \"\""},
        {"an unknown type", {message(9, "abcd"), endedFrame(0)}, false, "status -1 output \"\""},
        {"a status too short", {message(2, "abc")}, false, "status -1 output \"\""},
        {"a status too long", {endedFrame(0) + "x"}, false, "status -1 output \"\""},
        {"a status above 255", {endedFrame(256)}, false, "status -1 output \"\""},
        {"a status below -1", {endedFrame(-2)}, false, "status -1 output \"\""},
        {"errno 0", {startFailedFrame(0)}, false, "status -1 output \"\""},
        {"errno beyond 4095", {startFailedFrame(4096)}, false, "status -1 output \"\""},
        {"messages after the status",
         {endedFrame(1), outputFrame("late")},
         false,
         "status 1 output \"\""},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        EXPECT_EQ(outcomeOf(testCase.messages, testCase.keepOpen), testCase.outcome);
    }
}

TEST(UpdateRunnerClientTest, ARunnerThatCannotBeReachedIsAFailedStart) {
    const testing::ScratchTree scratch;
    // A stream socket where a packet socket is expected: connect refuses it.
    const std::string streamPath = scratch.real("/stream.socket");
    const int stream = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::copy(streamPath.begin(), streamPath.end(), address.sun_path);
    ASSERT_EQ(::bind(stream, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(stream, 1), 0);
    const std::pair<std::string, std::string> cases[] = {
        {scratch.real("/missing.socket"), "Start fehlgeschlagen: No such file or directory"},
        {streamPath, "Start fehlgeschlagen: Protocol wrong type for socket"},
        {scratch.real("/" + std::string(200, 'n')), "Start fehlgeschlagen: File name too long"},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(UpdateInstaller(UpdateInstaller::ThroughRunner{path}).install().message(),
                  expected)
            << path;
    }
    ::close(stream);
}

}  // namespace
}  // namespace tavelin
