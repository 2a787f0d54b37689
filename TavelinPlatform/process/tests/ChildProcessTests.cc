#include "ChildProcess.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace tavelin {
namespace {

// How the update tool is started and what it gets is tested through the update runner;
// here only the error path, where nobody waits for the child.
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
