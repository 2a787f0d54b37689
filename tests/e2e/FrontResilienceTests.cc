// Faults met by every front the monitor starts: its account already running many tasks,
// and a front that dies at once each time. The daemon must keep serving through both.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {
namespace {

// `count` tasks of an account until destroyed: one process of it, its main thread and
// count - 1 more, all asleep. Their process is this test's child, so nothing outlives it.
class AccountTasks {
  public:
    AccountTasks(uid_t uid, gid_t gid, int count) {
        int hold[2];
        int ready[2];
        if (::pipe2(hold, O_CLOEXEC) != 0 || ::pipe2(ready, O_CLOEXEC) != 0) {
            return;
        }
        hold_.reset(hold[1]);
        const UniqueFd holdEnd(hold[0]);
        const UniqueFd readyEnd(ready[0]);
        UniqueFd readyWriter(ready[1]);
        child_ = ChildProcess(::fork());
        if (child_.pid() == 0) {
            hold_.reset();  // only the test's copy may keep the child holding
            holdTasks(uid, gid, count, readyWriter.get(), holdEnd.get());
        }
        readyWriter.reset();
        char byte = 0;
        ready_ = child_.pid() > 0 && ::read(readyEnd.get(), &byte, 1) == 1;
    }
    AccountTasks(const AccountTasks&) = delete;
    AccountTasks& operator=(const AccountTasks&) = delete;
    ~AccountTasks() {
        hold_.reset();  // the child's read ends, and it exits with all its threads
        if (child_.pid() > 0) {
            static_cast<void>(child_.wait());
        }
    }

    [[nodiscard]] bool ready() const noexcept { return ready_; }

  private:
    [[noreturn]] static void holdTasks(uid_t uid, gid_t gid, int count, int ready, int hold) {
        bool up = ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
                  ::setresuid(uid, uid, uid) == 0;
        for (int task = 1; up && task < count; ++task) {
            try {
                std::thread([] {
                    for (;;) {
                        ::pause();
                    }
                }).detach();
            } catch (...) {
                up = false;
            }
        }
        char byte = 0;
        // Held until the test closes its end (the read then finds nothing).
        const bool held = up && ::write(ready, "r", 1) == 1 && ::read(hold, &byte, 1) >= 0;
        ::_exit(held ? 0 : 1);
    }

    ChildProcess child_{-1};
    UniqueFd hold_;
    bool ready_ = false;
};

// RLIMIT_NPROC counts an account's tasks system-wide: had the front such a limit, the
// tasks of others sharing its account would keep it from starting its threads.
TEST(FrontAccountTest, TheDaemonStartsAndServesWhileTheFrontsAccountRuns120Tasks) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the front has an account of its own only when the daemon starts as root";
    }
    const passwd* account = ::getpwnam(TAVELIN_FRONT_USER);
    ASSERT_NE(account, nullptr) << TAVELIN_FRONT_USER;
    const AccountTasks tasks(account->pw_uid, account->pw_gid, 120);
    ASSERT_TRUE(tasks.ready());
    std::string whyNot;
    const auto daemon = DaemonProcess::start(uniqueServiceName(), whyNot);
    ASSERT_TRUE(daemon) << whyNot;
    const ClientOutcome version = runClient(tavelinctlPath, {"version"}, daemon->serviceName());
    EXPECT_EQ(version.exitStatus, 0) << version.output;
    EXPECT_EQ(version.output, "0.0.1\n");
    const ClientOutcome removal = runClient(
        tavelinctlPath, {"perform", R"({"removeSystemPaths":{"_0":[]}})"}, daemon->serviceName());
    EXPECT_EQ(removal.exitStatus, 0) << removal.output;
}

// The monitor's front once it is another process than `previous`; -1 when the monitor
// ended first.
pid_t nextFrontOf(pid_t monitor, pid_t previous) {
    const std::string children =
        "/proc/" + std::to_string(monitor) + "/task/" + std::to_string(monitor) + "/children";
    for (;;) {
        siginfo_t ended{};
        if (::waitid(P_PID, monitor, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            ended.si_pid == monitor) {
            return -1;
        }
        pid_t child = -1;
        std::ifstream(children) >> child;
        if (child > 0 && child != previous) {
            return child;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // it is being started
    }
}

using FrontRestartTest = DaemonTest;

// Killing each front the monitor starts stands for a fault met at every start.
TEST_F(FrontRestartTest, AFrontKilledAtEveryStartIsStartedAgainAfterAWaitAndServes) {
    const std::string restarted = "[TavelinHelper] Front beendet (Signal 9), wird neu gestartet";
    const std::string waiting =
        "[TavelinHelper] Front beendet (Signal 9), zu oft in kurzer Zeit; neuer Start in 1 s";
    constexpr int quickRestarts = 5;  // FrontRestarts::maxQuickRestarts
    pid_t front = -1;
    for (int killed = 0; killed <= quickRestarts; ++killed) {
        front = nextFrontOf(daemonProcess->pid(), front);
        ASSERT_GT(front, 0) << "the monitor ended after " << killed << " fronts";
        ::kill(front, SIGKILL);
    }
    daemonProcess->waitForLines([&](const std::string& line) { return line == waiting; });
    std::vector<std::string> expected(quickRestarts, restarted);
    expected.push_back(waiting);
    EXPECT_EQ(linesAfter(startLineCount), expected);
    // The socket stayed open: the client waits in its backlog for the next front.
    const ClientOutcome version = tavelinctl({"version"});
    EXPECT_EQ(version.exitStatus, 0) << version.output;
    EXPECT_EQ(version.output, "0.0.1\n");
    EXPECT_EQ(linesAfter(startLineCount), expected);
}

}  // namespace
}  // namespace tavelin::e2e
