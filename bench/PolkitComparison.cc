#include "bench/PolkitComparison.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench/Comparison.h"
#include "bench/DaemonRequests.h"
#include "bench/dbus/BusClient.h"
#include "bench/dbus/PrivateBus.h"
#include "bench/dbus/ServiceProcess.h"
#include "tests/e2e/EndToEndSupport.h"
#include "tests/e2e/PolkitWorld.h"

namespace tavelin::bench {

namespace {

constexpr const char* label = "perform with polkit, root / D-Bus PerformAuthorized";

// polkitd answers yes to root's processes without reading any rule; the rule says so for
// our actions all the same, so that the measure does not rest on that alone.
constexpr const char* rootMayRule = R"(
polkit.addRule(function(action, subject) {
    if (action.id.indexOf("de.morvane.tavelin.") == 0 && subject.user == "root")
        return polkit.Result.YES;
});)";

void skip(const std::string& why) {
    static_cast<void>(std::printf("%-56s skipped: %s\n", label, why.c_str()));
}

}  // namespace

void comparePerformWithPolkit() {
    std::string whyNot;
    const auto world = e2e::PolkitWorld::enter(e2e::PolkitWorld::Bus::running, whyNot);
    if (!world) {
        skip(whyNot);
        return;
    }
    world->addRule("10-tavelin-bench-root.rules", rootMayRule);
    if (const std::string failed = world->startPolkitd(); !failed.empty()) {
        fail("polkitd: " + failed);
    }
    // Started after polkitd: the daemon looks for polkit once, at its start.
    const auto daemon = e2e::DaemonProcess::start(
        "de.morvane.Tavelin.helper.bench.polkit." + std::to_string(::getpid()), whyNot);
    if (!daemon) {
        fail(whyNot);
    }
    for (const std::string& line : daemon->lines()) {
        if (line.find("Autorisierung aus") != std::string::npos) {
            fail("the daemon did not find polkit: " + line);
        }
    }
    HelperClient client = connectOrFail(daemon->serviceName());
    // An empty removal asks polkit too: the monitor asks before every operation.
    const std::string answer = performOrFail(client, emptyRemoval, "0 Pfade entfernt");

    // The service's own bus is a private dbus-daemon; its polkit connection goes to the
    // world's system bus, as the daemon's checks do.
    const auto bus = dbus::PrivateBus::start();
    const auto service = dbus::ServiceProcess::start(bus->address(), answer);
    dbus::ServiceCaller caller(bus->address());
    if (caller.performAuthorized(std::string(emptyRemoval)) != answer) {
        fail("the D-Bus service's PerformAuthorized did not answer as the daemon");
    }
    const std::string request(emptyRemoval);
    const Comparison withPolkit =
        compare([&] { static_cast<void>(performOrFail(client, emptyRemoval, "0 Pfade")); },
                [&] { static_cast<void>(caller.performAuthorized(request)); }, 11, 100);
    report(label, withPolkit, "target <= 1.0");
}

}  // namespace tavelin::bench
