#include "ChildProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace tavelin {
namespace {

TEST(ChildProcessTests, ABareNameIsNeverLookedUpInPath) {
    for (const std::string program : {"/nonexistent/tool", "sh"}) {
        auto spawned = spawnWithCombinedOutput(program, {});
        ASSERT_TRUE(std::holds_alternative<SystemError>(spawned)) << program;
        EXPECT_EQ(std::get<SystemError>(spawned).errorNumber, ENOENT) << program;
    }
}

TEST(ChildProcessTests, ChildInheritsTheEnvironmentButNotIgnoredSignals) {
    ::setenv("TAVELIN_PROCESS_TEST", "inherited value", 1);
    // The daemon ignores SIGPIPE; the child must not inherit that.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    auto spawned = spawnWithCombinedOutput(
        "/bin/sh", {"-c", "printf '%s' \"$TAVELIN_PROCESS_TEST\"; kill -PIPE $$"});
    ::sigaction(SIGPIPE, &previous, nullptr);
    ::unsetenv("TAVELIN_PROCESS_TEST");

    auto& started = std::get<ChildWithOutput>(spawned);
    char buffer[64] = {};
    EXPECT_EQ(::read(started.output.get(), buffer, sizeof buffer), 15);
    EXPECT_STREQ(buffer, "inherited value");
    auto waited = started.child.wait();
    ASSERT_TRUE(std::holds_alternative<ChildTermination>(waited));
    EXPECT_TRUE(std::get<ChildTermination>(waited) == (ChildTermination{true, SIGPIPE}));
}

TEST(ChildProcessTests, AnAbandonedChildIsKilledAndReaped) {
    pid_t pid = -1;
    {
        auto spawned = spawnWithCombinedOutput("/bin/sh", {"-c", "exec sleep 600"});
        auto& started = std::get<ChildWithOutput>(spawned);
        pid = started.child.pid();
        ChildProcess moved(std::move(started.child));
    }
    // Reaped: no longer our child, not even a zombie.
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace tavelin
