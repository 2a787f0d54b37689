#include "ChildProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
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

TEST(ChildProcessTests, StartFailuresCarryTheSystemError) {
    struct Case {
        std::string program;
        int expectedError;
    };
    const Case cases[] = {
        {"/nonexistent/tool", ENOENT},
        {"/etc/passwd", EACCES},
        {"sh", ENOENT},  // a bare name is a path, never looked up in PATH
    };
    for (const auto& c : cases) {
        auto spawned = spawnWithCombinedOutput(c.program, {"--install"});
        ASSERT_TRUE(std::holds_alternative<SystemError>(spawned)) << c.program;
        EXPECT_EQ(std::get<SystemError>(spawned).errorNumber, c.expectedError) << c.program;
    }
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
