// roundtrip_bench: what the two-process daemon costs, as ratios to their floors and to the
// D-Bus service a Linux helper would usually be (a small sd-bus service on a dbus-daemon,
// bench/dbus/). The real daemon (tavelin-helper and its front) runs socket-activated on a
// name of its own; this signed binary is the client. Every figure is measured in this run,
// as medians of alternating rounds (Comparison.h).
//
//   1. helperVersion round trip (the front answers it alone) against a bare ping-pong of
//      the same frame sizes over a socketpair (target: at most 1.5x), and against the D-Bus
//      service's Version call over a kept connection (target: about 0.15x).
//   2. A perform that removes nothing (one more hop, to the monitor and back) against the
//      same ping-pong of its own frame sizes (target: at most 3x), and against the D-Bus
//      Perform call with the same request text and the same answer (target: at most 0.5x).
//   3. Admission of a 20 MiB signed client (connect to HELLO, timed by the client) against
//      hashing the same file with SHA-256 here. Target: at most 1.15x. And refusing the
//      same program unsigned, against the signed admission.
//   4. Resident memory of both daemon processes per idle admitted connection, over 2,000
//      connections. Target: at most 4 KiB.
//   5. 1,000 admissions of this program in a row (connect, wait for the HELLO, close)
//      against 1,000 new D-Bus connections with their Hello (target: at most 2x), and
//      against 1,000 bare connect + accept + one byte on a unix socket (the floor).
//   6. Peak memory of one perform of a 1 MiB request (a removal of some 9,000 paths that
//      do not exist, below a fresh folder of the benchmark's in a removable area:
//      MaximalRemoval.h), monitor and front together, against the request's size (target:
//      at most 3x); the same for dbus-daemon and the D-Bus service handling that request as
//      a Perform argument, for comparison. A daemon and a bus of their own, the first such
//      request each sees and a second one.
//   7. A perform that polkit must allow, for root, against the D-Bus PerformAuthorized
//      (PolkitComparison.h). Target: at most 1.0x. Last, since it changes the process.
//
// Needs root: the daemon's memory marks, a folder in a removable area, the mount
// namespaces. Measures 1 to 6 run in a mount namespace where no system bus is seen, so
// the daemon finds no polkit and its performs measure the transport, as the D-Bus Perform
// does; measure 7 brings polkit in. Run from the build tree (it signs its 20 MiB client
// with the development identity). Invoked as "roundtrip_bench --connect NAME" it is that
// client: it connects, prints the microseconds from connect() to the HELLO (or "refused").
// "roundtrip_bench --only-memory" runs measure 6 alone (root, no namespace needed).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TavelinPlatform/ipc/Frame.h"
#include "bench/BareAccept.h"
#include "bench/BarePingPong.h"
#include "bench/Comparison.h"
#include "bench/DaemonRequests.h"
#include "bench/LargeClient.h"
#include "bench/MaximalRemoval.h"
#include "bench/PeakMemory.h"
#include "bench/PolkitComparison.h"
#include "bench/dbus/BusClient.h"
#include "bench/dbus/PrivateBus.h"
#include "bench/dbus/ServiceProcess.h"
#include "tests/e2e/EndToEndSupport.h"
#include "tests/e2e/PolkitWorld.h"

namespace tavelin::bench {
namespace {

// --- 1. and 2. round trips ---

void compareRoundTrips(HelperClient& client, dbus::ServiceCaller& caller,
                       const std::string& emptyRemovalAnswer) {
    BarePingPong versionFloor(*encodeCall({1, CallSelector::helperVersion, {}}),
                              *encodeReply({1, "0.0.1"}));
    const auto version = compareWithEach(
        [&] { static_cast<void>(client.helperVersion()); },
        {[&] { versionFloor.roundTrip(); }, [&] { static_cast<void>(caller.version()); }}, 21,
        2000);
    report("helperVersion round trip / bare ping-pong", version[0], "target <= 1.5");
    report("helperVersion round trip / D-Bus Version call", version[1], "target <= 0.15");

    BarePingPong performFloor(*encodeCall({1, CallSelector::perform, std::string(emptyRemoval)}),
                              *encodeReply({1, emptyRemovalAnswer}));
    const std::string request(emptyRemoval);
    const auto perform = compareWithEach(
        [&] { static_cast<void>(client.perform(emptyRemoval)); },
        {[&] { performFloor.roundTrip(); }, [&] { static_cast<void>(caller.perform(request)); }},
        21, 1000);
    report("perform removing nothing / bare ping-pong", perform[0], "target <= 3");
    report("perform removing nothing / D-Bus Perform call", perform[1], "target <= 0.5");
}

// --- 3. admission of a 20 MiB program ---

void compareLargeAdmission(const std::string& name) {
    char directory[] = "/tmp/tavelin-bench-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
        fail("mkdtemp");
    }
    const std::string signedClient = std::string(directory) + "/client-signed";
    const std::string unsignedClient = std::string(directory) + "/client-unsigned";
    writeLargeClient(signedClient, true);
    writeLargeClient(unsignedClient, false);
    std::vector<double> hashes;
    std::vector<double> admissions;
    std::vector<double> refusals;
    std::vector<double> admittedToHash;
    for (int round = 0; round < 15; ++round) {
        // A new change time: a version of the file the daemon has not verified yet, so that
        // every round is a first admission.
        if (::utimensat(AT_FDCWD, signedClient.c_str(), nullptr, 0) != 0) {
            fail("cannot touch " + signedClient);
        }
        const auto start = Clock::now();
        hashFile(signedClient);
        hashes.push_back(secondsOf(Clock::now() - start));
        admissions.push_back(clientAdmission(signedClient, name));
        refusals.push_back(clientAdmission(unsignedClient, name));
        if (admissions.back() < 0 || refusals.back() >= 0) {
            fail("the signed client was refused or the unsigned one admitted");
        }
        admittedToHash.push_back(admissions.back() / hashes.back());
    }
    report("20 MiB signed admission / SHA-256 of file",
           {median(admissions), median(hashes), median(admittedToHash)}, "target <= 1.15");
    static_cast<void>(std::printf("%-56s %s\n", "20 MiB unsigned refusal",
                                  "refused before any hash (connection closed at once)"));
    ::unlink(signedClient.c_str());
    ::unlink(unsignedClient.c_str());
    ::rmdir(directory);
}

// --- 5. admissions in a row ---

void compareRepeatedAdmission(const std::string& name, const std::string& busAddress) {
    const BareAccept bareAccept;
    const auto admissions =
        compareWithEach([&] { static_cast<void>(connectOrFail(name)); },
                        {[&] { static_cast<void>(dbus::connectWithHello(busAddress)); },
                         [&] { bareAccept.connectAndWaitForGreeting(); }},
                        5, 1000);
    // Per 1,000: seconds per admission times 1,000, in milliseconds.
    report("1,000 admissions in a row / 1,000 D-Bus connect+Hello", admissions[0], "target <= 2",
           1e6, "ms");
    report("1,000 admissions in a row / 1,000 bare connect+accept", admissions[1],
           "no target: the floor", 1e6, "ms");
}

// --- 6. peak memory of a 1 MiB request ---

// Each process's peak growth while `work` runs, in KiB: the first time, and again.
using Growth = std::pair<std::vector<long>, std::vector<long>>;
Growth peakGrowth(const std::vector<pid_t>& processes, const std::function<void()>& work) {
    const PeakMemory first(processes);
    work();
    std::vector<long> firstGrowth = first.growthKiB();
    const PeakMemory again(processes);
    work();
    return {std::move(firstGrowth), again.growthKiB()};
}

// "<total> KiB (<each>+<each>) = <ratio>x"
std::string describeGrowth(const std::vector<long>& growth, double requestKiB) {
    long total = 0;
    std::string each;
    for (const long kiB : growth) {
        total += kiB;
        each += (each.empty() ? "" : "+") + std::to_string(kiB);
    }
    char ratio[32];
    static_cast<void>(
        std::snprintf(ratio, sizeof ratio, "%.2fx", static_cast<double>(total) / requestKiB));
    return std::to_string(total) + " KiB (" + each + ") = " + ratio;
}

void reportPeak(const char* what, const Growth& growth, std::size_t requestBytes,
                const char* note) {
    const double requestKiB = static_cast<double>(requestBytes) / 1024;
    static_cast<void>(std::printf("%-56s first %s, again %s of %.0f KiB  (%s)\n", what,
                                  describeGrowth(growth.first, requestKiB).c_str(),
                                  describeGrowth(growth.second, requestKiB).c_str(), requestKiB,
                                  note));
}

// A daemon, and a bus with its service, of their own, so that neither side finds memory
// that earlier measures freed: "first" is the first such request each has seen.
void comparePeakMemory() {
    const e2e::CacheSandbox sandbox;
    if (!sandbox.available()) {
        static_cast<void>(
            std::printf("%-56s skipped: needs root for a folder in a removable area\n",
                        "peak memory, 1 MiB perform"));
        return;
    }
    // Nothing exists below the fresh sandbox folder, so no path of the request does.
    const std::string request = maximalRemoval(sandbox.item("absent"));
    std::string whyNot;
    const auto daemon = e2e::DaemonProcess::start(
        "de.morvane.Tavelin.helper.bench.memory." + std::to_string(::getpid()), whyNot);
    if (!daemon) {
        fail(whyNot);
    }
    HelperClient client = connectOrFail(daemon->serviceName());
    std::string answer;
    const Growth daemonGrowth = peakGrowth(processWithChildren(daemon->pid()), [&] {
        answer = performOrFail(client, request, "0 Pfade entfernt");
    });
    reportPeak("peak memory, 1 MiB perform: monitor+front / request", daemonGrowth, request.size(),
               "target <= 3");

    const auto bus = dbus::PrivateBus::start();
    const auto service = dbus::ServiceProcess::start(bus->address(), answer);
    dbus::ServiceCaller caller(bus->address());
    const Growth busGrowth = peakGrowth({bus->pid(), service->pid()},
                                        [&] { static_cast<void>(caller.perform(request)); });
    reportPeak("peak memory, 1 MiB D-Bus Perform: bus+service / request", busGrowth, request.size(),
               "for comparison");
}

// --- 4. idle connections ---

void measureIdleMemory(const e2e::DaemonProcess& daemon) {
    constexpr int idleConnections = 2000;
    const long before = daemon.residentKiB();
    std::vector<HelperClient> idle;
    idle.reserve(idleConnections);
    for (int index = 0; index < idleConnections; ++index) {
        idle.push_back(connectOrFail(daemon.serviceName()));
    }
    static_cast<void>(idle.back().helperVersion());  // every admission has finished
    const long after = daemon.residentKiB();
    const double perConnection = static_cast<double>(after - before) * 1024 / idleConnections;
    static_cast<void>(std::printf("%-56s %10.0f bytes vs 4096 bytes  ratio %7.4f  (target <= 1)\n",
                                  "resident memory per idle admitted connection", perConnection,
                                  perConnection / 4096));
}

// Measures 1 to 6 see no system bus, so that the daemon asks no polkit (see the head).
std::unique_ptr<e2e::PolkitWorld> enterWorldWithoutPolkit() {
    std::string whyNot;
    auto withoutPolkit = e2e::PolkitWorld::enter(e2e::PolkitWorld::Bus::none, whyNot);
    if (!withoutPolkit) {
        static_cast<void>(
            std::printf("(no namespace without polkit: %s; the daemon asks the "
                        "host's polkit if it finds one)\n",
                        whyNot.c_str()));
    }
    return withoutPolkit;
}

// "--only-memory": measure 6 alone, for iterating on the daemon's memory.
void runMemoryOnly() {
    const auto withoutPolkit = enterWorldWithoutPolkit();
    comparePeakMemory();
}

void run() {
    const auto withoutPolkit = enterWorldWithoutPolkit();
    std::string whyNot;
    {
        const auto daemon = e2e::DaemonProcess::start(
            "de.morvane.Tavelin.helper.bench." + std::to_string(::getpid()), whyNot);
        if (!daemon) {
            fail(whyNot);
        }
        const std::string& name = daemon->serviceName();
        HelperClient client = connectOrFail(name);
        const std::string answer = performOrFail(client, emptyRemoval, "0 Pfade entfernt");

        const auto bus = dbus::PrivateBus::start();
        const auto service = dbus::ServiceProcess::start(bus->address(), answer);
        dbus::ServiceCaller caller(bus->address());
        if (caller.version() != "0.0.1" || caller.perform(std::string(emptyRemoval)) != answer) {
            fail("the D-Bus service does not answer as the daemon");
        }
        compareRoundTrips(client, caller, answer);
        compareLargeAdmission(name);
        measureIdleMemory(*daemon);
        compareRepeatedAdmission(name, bus->address());
    }
    comparePeakMemory();
    comparePerformWithPolkit();
    static_cast<void>(std::printf("(times and ratios are medians over alternating rounds)\n"));
}

}  // namespace
}  // namespace tavelin::bench

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--connect") {
        return tavelin::bench::connectAndReport(argv[2]);
    }
    const bool onlyMemory = argc == 2 && std::string(argv[1]) == "--only-memory";
    try {
        if (onlyMemory) {
            tavelin::bench::runMemoryOnly();
        } else {
            tavelin::bench::run();
        }
        return 0;
    } catch (const std::exception& failure) {
        static_cast<void>(std::fprintf(stderr, "roundtrip_bench: %s\n", failure.what()));
        return 2;
    }
}
