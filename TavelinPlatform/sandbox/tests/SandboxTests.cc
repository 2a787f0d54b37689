// A real child process enters the sandbox; the test reads what the kernel says of it and
// watches forbidden calls kill it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/sandbox/Sandbox.h"

namespace tavelin {
namespace {

constexpr std::array<std::string_view, 8> minimalCalls = {
    "read", "write", "close", "exit", "exit_group", "rt_sigreturn", "getpid", "fstat"};

SandboxSettings settingsFor(const std::string& emptyRoot) {
    SandboxSettings settings;
    settings.emptyRoot = emptyRoot;
    settings.uid = 65534;
    settings.gid = 65534;
    settings.maxOpenFiles = 64;
    settings.allowedSystemCalls = minimalCalls;
    return settings;
}

// A child that enters the sandbox, writes what `afterwards` returns (a short report) to
// the test, waits for the test's go-ahead and then runs `last`. Returns the report, the
// kernel's status text of the child taken before the go-ahead, and how the child ended.
struct ChildOutcome {
    std::string report;
    std::string status;
    int waitStatus = 0;
};

ChildOutcome runSandboxedChild(const std::string& emptyRoot,
                               const std::function<std::string()>& afterwards,
                               const std::function<void()>& last) {
    int toTest[2];
    int toChild[2];
    EXPECT_EQ(::pipe2(toTest, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(toTest[0]);
        ::close(toChild[1]);
        if (!enterSandbox(settingsFor(emptyRoot))) {
            ::_exit(90);
        }
        const std::string report = afterwards();
        // A failed write shows in the parent as a report that is missing.
        static_cast<void>(!::write(toTest[1], report.data(), report.size()));
        ::close(toTest[1]);
        char go = 0;
        // Returns at the parent's go, or when the parent closed its end.
        static_cast<void>(!::read(toChild[0], &go, 1));
        last();
        ::_exit(0);
    }
    const UniqueFd reportEnd(toTest[0]);
    const UniqueFd goEnd(toChild[1]);
    ::close(toTest[1]);
    ::close(toChild[0]);
    ChildOutcome outcome;
    char buffer[256];
    ssize_t count = 0;
    while ((count = ::read(reportEnd.get(), buffer, sizeof buffer)) > 0) {
        outcome.report.append(buffer, static_cast<std::size_t>(count));
    }
    std::ifstream status("/proc/" + std::to_string(child) + "/status");
    outcome.status.assign(std::istreambuf_iterator<char>(status), {});
    // A child that has ended already needs no go.
    static_cast<void>(!::write(goEnd.get(), "g", 1));
    ::waitpid(child, &outcome.waitStatus, 0);
    return outcome;
}

std::string statusField(const std::string& status, const std::string& name) {
    const auto start = status.find("\n" + name + ":");
    if (start == std::string::npos) {
        return "?";
    }
    const auto valueStart = status.find_first_not_of(" \t", start + name.size() + 2);
    return status.substr(valueStart, status.find('\n', valueStart) - valueStart);
}

class SandboxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to lock a process into an empty root";
        }
        std::filesystem::create_directory(emptyRoot_);
        // A child killed early must not take the test down with a SIGPIPE.
        static_cast<void>(::signal(SIGPIPE, SIG_IGN));
    }
    void TearDown() override { std::filesystem::remove(emptyRoot_); }

    std::string emptyRoot_ = "/tmp/tavelin-sandbox-test." + std::to_string(::getpid());
};

TEST_F(SandboxTest, TheChildRunsUnprivilegedConfinedAndFiltered) {
    const ChildOutcome outcome = runSandboxedChild(
        emptyRoot_,
        [] {
            // Nothing of the real root is visible (a read-only open is allowed), and memory
            // that is not executable can still be had.
            const int etc = ::open("/etc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            void* memory =
                ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            return std::string(etc < 0 && errno == ENOENT ? "empty" : "visible") +
                   (memory != MAP_FAILED ? ", memory" : ", no memory");
        },
        [] {});
    EXPECT_EQ(outcome.report, "empty, memory");
    EXPECT_EQ(statusField(outcome.status, "Uid"), "65534\t65534\t65534\t65534");
    EXPECT_EQ(statusField(outcome.status, "Gid"), "65534\t65534\t65534\t65534");
    EXPECT_EQ(statusField(outcome.status, "Groups"), "");
    EXPECT_EQ(statusField(outcome.status, "CapEff"), "0000000000000000");
    EXPECT_EQ(statusField(outcome.status, "CapPrm"), "0000000000000000");
    EXPECT_EQ(statusField(outcome.status, "NoNewPrivs"), "1");
    EXPECT_EQ(statusField(outcome.status, "Seccomp"), "2");
    EXPECT_TRUE(WIFEXITED(outcome.waitStatus) && WEXITSTATUS(outcome.waitStatus) == 0)
        << outcome.waitStatus;
}

TEST_F(SandboxTest, AForbiddenCallKillsTheWholeProcess) {
    const struct {
        const char* what;
        std::function<void()> call;
    } cases[] = {
        {"a socket", [] { static_cast<void>(::socket(AF_INET, SOCK_STREAM, 0)); }},
        {"a new process", [] { static_cast<void>(::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0)); }},
        {"a file opened for writing",
         [] {
             static_cast<void>(::syscall(SYS_openat, AT_FDCWD, "/x", O_WRONLY | O_CREAT, 0600));
         }},
        // Opened for reading, yet emptied by the kernel when the process may write it.
        {"a file truncated by a read-only open",
         [] { static_cast<void>(::syscall(SYS_openat, AT_FDCWD, "/x", O_RDONLY | O_TRUNC)); }},
        {"a file opened for appending",
         [] { static_cast<void>(::syscall(SYS_openat, AT_FDCWD, "/x", O_RDONLY | O_APPEND)); }},
        {"executable memory",
         [] {
             static_cast<void>(::syscall(SYS_mmap, nullptr, 4096, PROT_READ | PROT_EXEC,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
         }},
        {"memory made executable",
         [] {
             static_cast<void>(
                 ::syscall(SYS_mprotect, reinterpret_cast<void*>(0x10000), 4096, PROT_EXEC));
         }},
    };
    for (const auto& c : cases) {
        const ChildOutcome outcome = runSandboxedChild(
            emptyRoot_, [] { return std::string("in"); }, c.call);
        EXPECT_EQ(outcome.report, "in") << c.what;
        EXPECT_TRUE(WIFSIGNALED(outcome.waitStatus) && WTERMSIG(outcome.waitStatus) == SIGSYS)
            << c.what << ": " << outcome.waitStatus;
    }
}

}  // namespace
}  // namespace tavelin
