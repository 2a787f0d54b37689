// Checks on kept system-bus connections: this process asks the stand-in authority on a
// system bus of the test's own, and the stand-in records which connection asked. A kept
// connection serves check after check, a restarted bus costs no refusal, and a burst of
// checks that must all wait at once leaves no more than the pool's bound behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TavelinPlatform/authority/BusHandles.h"
#include "TavelinPlatform/authority/Polkit.h"
#include "tests/e2e/AuthorityStandIn.h"
#include "tests/e2e/EndToEndSupport.h"
#include "tests/e2e/PolkitWorld.h"

namespace tavelin::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using polkit::SystemBusPool;

// Long enough for any machine; a check that has to wait for another never gets its
// answer from a gathering stand-in, and ends here.
constexpr auto checkWait = 10s;

// "authorized", or what came instead.
std::string checkOnce(SystemBusPool& buses) {
    const polkit::Subject self{-1, ::getpid(), 0, ::getuid()};
    const auto verdict = polkit::checkAuthorization(
        buses, self, "de.morvane.tavelin.repair-permissions", {}, checkWait);
    if (!verdict) {
        return verdict.error().describe();
    }
    switch (*verdict) {
        case polkit::Verdict::authorized:
            return "authorized";
        case polkit::Verdict::notAuthorized:
            return "not authorized";
        case polkit::Verdict::dismissed:
            return "dismissed";
        case polkit::Verdict::timedOut:
            return "timed out";
    }
    return "?";
}

struct Recorded {
    std::string sender;
    std::string cancellationId;
};

// The checks the stand-in saw, in order.
std::vector<Recorded> recordedChecks(const std::string& path) {
    std::vector<Recorded> checks;
    std::ifstream file(path);
    for (Recorded check; file >> check.sender >> check.cancellationId;) {
        checks.push_back(check);
    }
    return checks;
}

// A file the stand-in (as polkitd's account) can append to.
std::string recordFile(const ScratchDirectory& scratch) {
    fs::permissions(scratch.file(""), fs::perms(0755));
    std::string path = scratch.file("checks");
    const std::ofstream created(path);
    ::chmod(path.c_str(), 0666);
    return path;
}

struct BusUnref {
    void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
using MessageRef = sdbus::Message;

MessageRef callBus(sd_bus* bus, const char* method, const char* types, const char* name) {
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    static_cast<void>(sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                         "org.freedesktop.DBus", method, &error, &reply, types,
                                         name));
    sd_bus_error_free(&error);
    return MessageRef(reply);
}

// The connections this process has on the system bus, as the bus counts them (ListNames,
// GetConnectionUnixProcessID), not counting the one that asks; -1 when the bus cannot say.
int connectionsOfThisProcess() {
    sd_bus* raw = nullptr;
    if (sd_bus_open_system(&raw) < 0) {
        return -1;
    }
    const std::unique_ptr<sd_bus, BusUnref> bus(raw);
    const char* asking = nullptr;
    const MessageRef names = callBus(raw, "ListNames", "", nullptr);
    if (!names || sd_bus_get_unique_name(raw, &asking) < 0 ||
        sd_bus_message_enter_container(names.get(), 'a', "s") < 0) {
        return -1;
    }
    int count = 0;
    const char* name = nullptr;
    while (sd_bus_message_read(names.get(), "s", &name) > 0) {
        if (name[0] != ':' || std::string(name) == asking) {
            continue;
        }
        const MessageRef pid = callBus(raw, "GetConnectionUnixProcessID", "s", name);
        std::uint32_t owner = 0;
        if (pid && sd_bus_message_read(pid.get(), "u", &owner) > 0 &&
            owner == static_cast<std::uint32_t>(::getpid())) {
            ++count;
        }
    }
    return count;
}

// What closes on our side reaches the bus a moment later.
int connectionsOnceSettled(int expected) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    int count = connectionsOfThisProcess();
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        count = connectionsOfThisProcess();
    }
    return count;
}

TEST(SystemBusPoolTest, ChecksShareAKeptConnectionAndABusRestartRefusesNone) {
    std::string whyNot;
    const auto world = PolkitWorld::enter(PolkitWorld::Bus::running, whyNot);
    if (!world) {
        GTEST_SKIP() << whyNot;
    }
    const ScratchDirectory scratch;
    const std::string record = recordFile(scratch);
    ASSERT_EQ(world->startAuthority(authorityStandIn(true, false, 1, record)), "");
    SystemBusPool buses;

    EXPECT_EQ(checkOnce(buses), "authorized");
    EXPECT_EQ(checkOnce(buses), "authorized");
    ASSERT_EQ(world->restartBus(), "");
    ASSERT_EQ(world->startAuthority(authorityStandIn(true, false, 1, record)), "");
    EXPECT_EQ(checkOnce(buses), "authorized") << "the kept connection died with the old bus";
    EXPECT_EQ(checkOnce(buses), "authorized");

    const auto checks = recordedChecks(record);
    ASSERT_EQ(checks.size(), 4U);
    EXPECT_EQ(checks[1].sender, checks[0].sender);
    EXPECT_NE(checks[1].cancellationId, checks[0].cancellationId);
    EXPECT_EQ(checks[3].sender, checks[2].sender) << "the new connection is kept as well";
    EXPECT_NE(checks[3].cancellationId, checks[2].cancellationId);
}

TEST(SystemBusPoolTest, ABurstOfChecksWaitsForNoneAndLeavesTheBoundKept) {
    std::string whyNot;
    const auto world = PolkitWorld::enter(PolkitWorld::Bus::running, whyNot);
    if (!world) {
        GTEST_SKIP() << whyNot;
    }
    const ScratchDirectory scratch;
    const std::string record = recordFile(scratch);
    // The stand-in answers none of them before all of them wait.
    constexpr std::size_t burst = 3 * SystemBusPool::maxIdleConnections;
    ASSERT_EQ(world->startAuthority(authorityStandIn(true, false, burst, record)), "");
    SystemBusPool buses;

    std::vector<std::string> outcomes(burst);
    {
        std::vector<std::jthread> checks;
        checks.reserve(burst);
        for (std::string& outcome : outcomes) {
            checks.emplace_back([&buses, &outcome] { outcome = checkOnce(buses); });
        }
    }
    for (const std::string& outcome : outcomes) {
        EXPECT_EQ(outcome, "authorized");
    }
    EXPECT_EQ(connectionsOnceSettled(SystemBusPool::maxIdleConnections),
              static_cast<int>(SystemBusPool::maxIdleConnections));
}

}  // namespace
}  // namespace tavelin::e2e
