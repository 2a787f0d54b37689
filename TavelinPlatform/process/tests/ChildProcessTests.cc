#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace tavelin {

// NOLINTNEXTLINE(readability-identifier-naming): the name GoogleTest looks for
void PrintTo(const ChildTermination& termination, std::ostream* out) {
    *out << (termination.signaled ? "signal " : "exit ") << termination.code;
}

namespace {

const std::string shell = "/bin/sh";

// Everything the child writes until every writer has closed the pipe.
std::string readAll(int fd) {
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return bytes;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

struct Finished {
    ChildTermination termination;
    std::string output;
};

Finished runShell(const std::string& script) {
    auto spawned = spawnWithCombinedOutput(shell, {"-c", script});
    auto* started = std::get_if<ChildWithOutput>(&spawned);
    if (started == nullptr) {
        ADD_FAILURE() << script << ": " << std::get<SystemError>(spawned).text();
        return {};
    }
    Finished finished;
    finished.output = readAll(started->output.get());
    auto waited = started->child.wait();
    EXPECT_TRUE(std::holds_alternative<ChildTermination>(waited)) << script;
    if (auto* termination = std::get_if<ChildTermination>(&waited)) {
        finished.termination = *termination;
    }
    return finished;
}

class ScratchDirectory {
public:
    ScratchDirectory() {
        char pattern[] = "/tmp/tavelin-process-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory() { std::system(("rm -rf '" + path_ + "'").c_str()); }

    std::string file(const std::string& name, const std::string& content, mode_t mode) const {
        std::string path = path_ + "/" + name;
        std::ofstream(path) << content;
        ::chmod(path.c_str(), mode);
        return path;
    }

private:
    std::string path_;
};

TEST(ChildProcessTests, ReportsExitCodesSignalsAndMixedOutput) {
    struct Case {
        std::string script;
        ChildTermination expected;
        std::string output;
    };
    const Case cases[] = {
        {"exit 0", {false, 0}, ""},
        {"exit 3", {false, 3}, ""},
        {"exit 255", {false, 255}, ""},
        {"echo out; echo err >&2; printf 'tail'", {false, 0}, "out\nerr\ntail"},
        {"echo err >&2; exit 7", {false, 7}, "err\n"},
        {"kill -TERM $$", {true, SIGTERM}, ""},
        {"echo before; kill -KILL $$", {true, SIGKILL}, "before\n"},
        {"exec \"$0\" -c 'exit 4' ignored", {false, 4}, ""},
    };
    for (const auto& c : cases) {
        const Finished finished = runShell(c.script);
        EXPECT_EQ(finished.termination, c.expected) << c.script;
        EXPECT_EQ(finished.termination.status(), c.expected.code) << c.script;
        EXPECT_EQ(finished.output, c.output) << c.script;
    }
}

TEST(ChildProcessTests, StartFailuresCarryTheSystemError) {
    ScratchDirectory scratch;
    struct Case {
        std::string program;
        int expectedError;
    };
    const Case cases[] = {
        {scratch.file("missing", "", 0755) + "-not-there", ENOENT},
        {scratch.file("not-executable", "#!/bin/sh\nexit 0\n", 0644), EACCES},
        {scratch.file("no-interpreter-line", "echo hi\n", 0755), ENOEXEC},
        {"relative-name-not-searched-in-path", ENOENT},
    };
    for (const auto& c : cases) {
        auto spawned = spawnWithCombinedOutput(c.program, {"--install"});
        ASSERT_TRUE(std::holds_alternative<SystemError>(spawned)) << c.program;
        EXPECT_EQ(std::get<SystemError>(spawned).errorNumber, c.expectedError) << c.program;
    }
}

TEST(ChildProcessTests, ChildSeesOnlyTheStandardDescriptors) {
    // A descriptor opened without O_CLOEXEC, as a careless library might, must not leak
    // either; neither may the read end of the child's own pipe.
    const int careless = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(careless, 0);
    const Finished finished = runShell("ls /proc/$$/fd; true");
    ::close(careless);
    EXPECT_EQ(finished.output, "0\n1\n2\n");
}

TEST(ChildProcessTests, ChildGetsArgumentsEnvironmentAndDefaultSignals) {
    ::setenv("TAVELIN_PROCESS_TEST", "inherited value", 1);
    // The daemon side ignores SIGPIPE; the child must not inherit that.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);

    auto spawned = spawnWithCombinedOutput(
        shell, {"-c", "printf '%s|' \"$0\" \"$1\" \"$TAVELIN_PROCESS_TEST\"; kill -PIPE $$",
                "first arg", "second  arg"});
    ::sigaction(SIGPIPE, &previous, nullptr);
    ::unsetenv("TAVELIN_PROCESS_TEST");

    auto& started = std::get<ChildWithOutput>(spawned);
    EXPECT_EQ(readAll(started.output.get()), "first arg|second  arg|inherited value|");
    auto waited = started.child.wait();
    ASSERT_TRUE(std::holds_alternative<ChildTermination>(waited));
    EXPECT_EQ(std::get<ChildTermination>(waited), (ChildTermination{true, SIGPIPE}));
    // A second wait answers from memory.
    EXPECT_EQ(std::get<ChildTermination>(started.child.wait()), (ChildTermination{true, SIGPIPE}));
}

TEST(ChildProcessTests, AbandonedChildIsKilledAndReaped) {
    pid_t pid = -1;
    {
        auto spawned = spawnWithCombinedOutput(shell, {"-c", "exec sleep 600"});
        auto& started = std::get<ChildWithOutput>(spawned);
        pid = started.child.pid();
        ChildProcess movedOnce(std::move(started.child));
        ChildProcess movedTwice(std::move(movedOnce));
        EXPECT_EQ(movedTwice.pid(), pid);
    }
    // Reaped: no longer our child, not even a zombie.
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace tavelin
