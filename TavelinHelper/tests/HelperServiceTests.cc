// The service's operations and the update runner under it, with real files and fake
// update tools (shell scripts).
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
#include "HelperService.h"
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

// Notes with each line how a watched file was then: missing ("-"), there ("+") or
// executable ("x"), which shows whether a line came before or after an operation acted.
class WatchingLogSink final : public LogSink {
  public:
    explicit WatchingLogSink(std::string watched) : watched_(std::move(watched)) {}
    std::vector<std::string> entries;

  protected:
    void writeLine(std::string_view line) override {
        struct stat status {};
        const bool exists = ::stat(watched_.c_str(), &status) == 0;
        entries.push_back(std::string(line) + (!exists                        ? " -"
                                               : (status.st_mode & 0111) != 0 ? " x"
                                                                              : " +"));
    }

  private:
    std::string watched_;
};

class ThrowingLogSink final : public LogSink {
    void writeLine(std::string_view /*line*/) override { throw std::bad_alloc(); }
};

// Calls perform once and returns every reply it received.
std::vector<std::string> replies(HelperService& service, std::string_view request) {
    std::vector<std::string> received;
    service.perform(request, [&](const std::string& answer) { received.push_back(answer); });
    return received;
}

std::string encoded(bool success, const std::string& message, std::int64_t freedBytes = 0) {
    return PrivilegedResult(success, message, freedBytes).encode().value();
}

// A scratch root with the one system folder the operations here touch.
class ServiceTest : public ::testing::Test {
  protected:
    ServiceTest() { scratch.makeFolder("/Library/Caches"); }

    const testing::ScratchTree scratch;
    const ClientFileSystem fs = ClientFileSystem::open(scratch.root(), "/").value();
};

TEST_F(ServiceTest, EachOperationIsAuditedBeforeItActs) {
    // The update tool creates the watched file, the repair makes it executable, the removal
    // removes it.
    const std::string watched = scratch.real("/Library/Caches/x");
    WatchingLogSink log(watched);
    HelperService service(
        log, fs,
        tool(scratch, "update",
             "echo hi > '" + watched + "'\nchmod 600 '" + watched + "'\necho 'Restart required'"));
    const std::pair<std::string, std::string> calls[] = {
        {R"({"installSystemUpdates":{}})",
         encoded(true, "Systemupdates installiert \u2013 Neustart erforderlich.")},
        {R"({"repairPermissions":{"path":"\/Library\/Caches\/x"}})",
         encoded(true, "Rechte gesetzt: /Library/Caches/x")},
        {R"({"removeSystemPaths":{"_0":["/Library/Caches/x","/etc/passwd"]}})",
         encoded(true, "1 Pfade entfernt, 1 durch Policy abgelehnt", 3)},
    };
    for (const auto& [request, reply] : calls) {
        EXPECT_EQ(replies(service, request), std::vector<std::string>{reply}) << request;
    }
    const std::vector<std::string> expected = {
        "[TavelinHelper] perform: macOS-Systemupdates installieren -",
        "[TavelinHelper] perform: Rechte reparieren: /Library/Caches/x +",
        "[TavelinHelper] perform: System-Pfade entfernen (2 Einträge) x",
        "[TavelinHelper] removed /Library/Caches/x (3 bytes) -",
    };
    EXPECT_EQ(log.entries, expected);
}

TEST_F(ServiceTest, LogLinesCarryAtMostFourKibibytesOfAPath) {
    scratch.writeFile("/Library/Caches/long", 5);
    // 4079 bytes after the 17-byte head end inside a two-byte "ä": the cut steps back.
    std::string umlauts = "/Library/Caches/x";
    for (int i = 0; i < 3000; ++i) {
        umlauts += "\u00e4";
    }
    const std::string kept = umlauts.substr(0, 4095);
    // Repeated slashes before the name keep a path of 5,020 bytes removable.
    const std::string slashes = "/Library/Caches" + std::string(5000, '/') + "long";
    CapturingLogSink log;
    HelperService service(log, fs);
    static_cast<void>(replies(service, R"({"repairPermissions":{"path":")" + umlauts + "\"}}"));
    static_cast<void>(replies(service, R"({"removeSystemPaths":{"_0":[")" + slashes + "\"]}}"));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "[TavelinHelper] perform: Rechte reparieren: " + kept + "\u2026 (" +
                      std::to_string(umlauts.size() - kept.size()) + " more bytes)",
                  "[TavelinHelper] perform: System-Pfade entfernen (1 Eintr\u00e4ge)",
                  "[TavelinHelper] removed " + slashes.substr(0, 4096) + "\u2026 (" +
                      std::to_string(slashes.size() - 4096) + " more bytes) (5 bytes)"}));
    EXPECT_FALSE(scratch.exists("/Library/Caches/long"));
}

TEST_F(ServiceTest, FailuresInsideNeverEscapeAndStillReplyOnce) {
    // The audit line cannot be written: no result exists, the answer is empty.
    ThrowingLogSink throwingLog;
    HelperService unlogged(throwingLog, fs);
    EXPECT_EQ(replies(unlogged, R"({"installSystemUpdates":{}})"), std::vector<std::string>{""});
    // A reply that throws is called once and its exception stays inside.
    CapturingLogSink log;
    HelperService service(log, fs);
    int calls = 0;
    const auto throwing = [&calls](const std::string&) {
        ++calls;
        throw std::runtime_error("connection gone");
    };
    EXPECT_NO_THROW(service.perform("{}", throwing));
    EXPECT_NO_THROW(service.helperVersion(throwing));
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace tavelin
