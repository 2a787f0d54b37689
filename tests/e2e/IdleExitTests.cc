// Under socket activation the daemon ends once it has had no connection and no work for its
// idle limit, so that an idle machine holds no root process and an upgraded binary takes
// over at the next start. The daemon here is built with a limit of 1.5 seconds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {
namespace {

using namespace std::chrono_literals;

const std::string idleLine = "[TavelinHelper] beendet: ohne Verbindung und ohne Arbeit";

// Waits up to `limit` for the process to end, without reaping it; its exit status then.
std::optional<int> exitStatusWithin(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
        }
        std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

TEST(IdleExitTest, EndsWhenIdleAndNotWhileAConnectionIsOpen) {
    std::string whyNot;
    const auto daemon =
        DaemonProcess::start(uniqueServiceName(), whyNot, 0, {}, TAVELIN_IDLE_EXIT_DAEMON);
    ASSERT_NE(daemon, nullptr) << whyNot;
    EXPECT_EQ(runClient(tavelinctlPath, {"version"}, daemon->serviceName()).output, "0.0.1\n");

    // An admitted connection held open, silent, for several idle limits: the daemon stays.
    {
        const ScratchDirectory scratch;
        const ConnectionHolder holder(TAVELIN_CONNECTION_HOLDER, daemon->serviceName(), "idle", 1,
                                      scratch.file(""), false);
        EXPECT_EQ(holder.report(), "ready 1\n");
        EXPECT_EQ(exitStatusWithin(daemon->pid(), 5s), std::nullopt);
    }

    // Released, it ends on its own, cleanly, and says why.
    EXPECT_EQ(exitStatusWithin(daemon->pid(), 30s), 0);
    EXPECT_EQ(daemon->waitForLines([](const std::string& line) { return line == idleLine; }).size(),
              1U);
}

}  // namespace
}  // namespace tavelin::e2e
