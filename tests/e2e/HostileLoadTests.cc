// The daemon against what a hostile local user can do with the signed client: thousands of
// idle connections, half-sent frames and maximal requests held at once, and the same
// under an address-space limit. Others are still served and memory stays bounded.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TavelinShared/tests/support/LayoutFolders.h"
#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::e2e {
namespace {

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
    const ConnectionHolder idle(TAVELIN_CONNECTION_HOLDER, name, "idle", 5000, folder, false);
    ASSERT_EQ(idle.report(), "ready 5000\n");
    const ConnectionHolder half(TAVELIN_CONNECTION_HOLDER, name, "half", 500, folder, true);
    ASSERT_EQ(half.report(), "ready 500\n");
    const ConnectionHolder maximal(TAVELIN_CONNECTION_HOLDER, name, "maximal", 64, folder, true);
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
        const ConnectionHolder awaited(TAVELIN_CONNECTION_HOLDER, daemon->serviceName(), "awaited",
                                       64, sandbox.item("nonexistent"), true);
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
