// The daemon against what a hostile local user can do with the signed client: thousands of
// idle connections, half-sent frames and maximal requests held at once, and the same
// under an address-space limit. Others are still served and memory stays bounded.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "EndToEndSupport.h"
#include "LayoutFolders.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace tavelin::e2e {
namespace {

// One run of the connection holder: its connections stay open until it is destroyed.
class ConnectionHolder {
  public:
    // Its maximal requests remove nothing that exists below `folder`.
    ConnectionHolder(const std::string& name, const std::string& mode, int count,
                     const std::string& folder, bool asNobody) {
        int input[2];
        int output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        holdOpen_.reset(input[1]);
        const UniqueFd childInput(input[0]);
        const UniqueFd childOutput(output[1]);
        const UniqueFd report(output[0]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, childInput.get(), STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, childOutput.get(), STDOUT_FILENO);
        std::vector<std::string> words = {TAVELIN_CONNECTION_HOLDER, name, mode,
                                          std::to_string(count), folder};
        if (asNobody) {
            words.emplace_back("--as-nobody");
        }
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) {
            ADD_FAILURE() << "cannot start the holder";
            return;
        }
        char buffer[64];
        ssize_t got = 0;
        const UniqueFd& reader = report;
        while ((got = ::read(reader.get(), buffer, sizeof buffer)) > 0) {
            line_.append(buffer, static_cast<std::size_t>(got));
            if (line_.find('\n') != std::string::npos) {
                break;
            }
        }
    }
    ~ConnectionHolder() {
        holdOpen_.reset();  // the holder sees end of input, closes everything and exits
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    ConnectionHolder(const ConnectionHolder&) = delete;
    ConnectionHolder& operator=(const ConnectionHolder&) = delete;

    // "ready <count>" once every connection was set up.
    [[nodiscard]] const std::string& report() const { return line_; }

  private:
    pid_t pid_ = -1;
    UniqueFd holdOpen_;
    std::string line_;
};

// The daemon's memory may not exceed this, whatever is held.
constexpr long residentLimitKiB = 256 * 1024;

// A removal and a version call by the signed client while the daemon is under load.
void expectOthersServed(const std::string& name) {
    const CacheSandbox sandbox;
    ASSERT_TRUE(sandbox.available())
        << "needs root to create a folder below " << testing::layout::firstArea;
    const std::string victim = sandbox.item("victim");
    writeFile(victim, 1000);
    const ClientOutcome version = runClient(tavelinctlPath, {"version"}, name);
    EXPECT_EQ(version.output, "0.0.1\n");
    const ClientOutcome removed = runClient(tavelinctlPath, {"remove", victim}, name);
    EXPECT_EQ(removed.output.rfind("1 Pfade entfernt", 0), 0U) << removed.output;
    EXPECT_FALSE(std::filesystem::exists(victim));
}

TEST(HostileLoadTest, ThousandsOfHeldConnectionsLeaveOthersServedAndMemoryBounded) {
    std::string whyNot;
    const auto daemon = DaemonProcess::start(uniqueServiceName(), whyNot);
    ASSERT_TRUE(daemon) << whyNot;
    const std::string& name = daemon->serviceName();
    const CacheSandbox sandbox;
    ASSERT_TRUE(sandbox.available());
    const std::string folder = sandbox.item("nonexistent");
    const ConnectionHolder idle(name, "idle", 5000, folder, false);
    ASSERT_EQ(idle.report(), "ready 5000\n");
    const ConnectionHolder half(name, "half", 500, folder, true);
    ASSERT_EQ(half.report(), "ready 500\n");
    const ConnectionHolder maximal(name, "maximal", 64, folder, true);
    ASSERT_EQ(maximal.report(), "ready 64\n");
    expectOthersServed(name);
    const long resident = daemon->residentKiB();
    RecordProperty("daemonResidentKiB", static_cast<int>(resident));
#ifndef TAVELIN_SANITIZER_BUILD
    // A sanitizer's shadow memory and quarantine multiply what the daemon holds; the bound
    // is the release build's.
    EXPECT_LT(resident, residentLimitKiB);
#endif
}

TEST(HostileLoadTest, MaximalRequestsUnderAnAddressSpaceLimitAreAnsweredOrClosed) {
#ifdef TAVELIN_SANITIZER_BUILD
    GTEST_SKIP() << "the sanitizers' shadow memory cannot live under an address-space limit";
#endif
    constexpr unsigned long oneGiB = 1024 * 1024;  // in KiB
    std::string whyNot;
    const auto daemon = DaemonProcess::start(uniqueServiceName(), whyNot, oneGiB);
    ASSERT_TRUE(daemon) << whyNot;
    {
        // 64 maximal requests at once, each answered or its connection closed.
        const CacheSandbox sandbox;
        ASSERT_TRUE(sandbox.available());
        const ConnectionHolder awaited(daemon->serviceName(), "awaited", 64,
                                       sandbox.item("nonexistent"), true);
        int answered = -1;
        int closed = -1;
        int failed = -1;
        ASSERT_EQ(std::sscanf(awaited.report().c_str(), "answered %d closed %d failed %d",
                              &answered, &closed, &failed),
                  3)
            << awaited.report();
        EXPECT_EQ(answered + closed, 64) << awaited.report();
        EXPECT_EQ(failed, 0) << awaited.report();
    }
    // Nothing of that ended a process: the daemon still serves.
    expectOthersServed(daemon->serviceName());
    EXPECT_EQ(::kill(daemon->pid(), 0), 0);
}

}  // namespace
}  // namespace tavelin::e2e
