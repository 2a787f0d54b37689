// peer_check_bench: what the checks on a client's running code cost, against their budgets.
//
// The peer is the real tavelinctl, connected to a socket of ours that never greets it, so
// it waits with all its libraries mapped. Measured, as medians over many rounds:
//   - the admission's examination of the peer's code (user namespace, every executable
//     mapping and the file behind it), against a budget of 0.3 ms per connection;
//   - the re-check made before every operation (does the peer still run the executable it
//     was admitted with), against a budget of 5 us.
//
//   peer_check_bench
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinPlatform/process/PeerCode.h"
#include "TavelinPlatform/process/PeerProcess.h"
#include "TavelinPlatform/process/Pidfd.h"
#include "tests/e2e/EndToEndSupport.h"

namespace tavelin::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int rounds = 2000;

double medianMicroseconds(const std::function<void()>& work) {
    std::vector<double> times;
    times.reserve(rounds);
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + rounds / 2, times.end());
    return times[rounds / 2];
}

void report(const char* what, double microseconds, double budget) {
    std::printf("%-52s %9.2f us vs %9.2f us  ratio %.4f  (target <= 1)\n", what, microseconds,
                budget, microseconds / budget);
}

int run() {
    // A listener that never accepts: the client's connect succeeds and it waits for a
    // HELLO that does not come.
    const std::string name = e2e::uniqueServiceName();
    auto listener = listenOnAbstractName(name);
    if (!listener) {
        std::fprintf(stderr, "cannot listen: %s\n", listener.error().describe().c_str());
        return 1;
    }
    ChildWithOutput client = e2e::startClient(e2e::tavelinctlPath, {"version"}, name);
    ::usleep(200000);  // let it map its libraries and connect
    const pid_t pid = client.child.pid();
    PeerProcess peer{openPidfd(pid).value_or(UniqueFd()), pid, ::getuid(), ::getgid()};
    const auto trust = CodeTrust::ofThisProcess(::getuid());
    auto evidence = trust ? inspectPeer(peer, *trust) : Unexpected(trust.error());
    if (!evidence || evidence->code != PeerCodeFinding::clean) {
        std::fprintf(stderr, "the client cannot be examined: %s\n",
                     evidence ? std::string(peerCodeFindingName(evidence->code)).c_str()
                              : evidence.error().describe().c_str());
        return 1;
    }
    struct stat executable {};
    ::fstat(evidence->executable.get(), &executable);
    const UniqueFd procDirectory = openPeerDirectory(peer);
    const ExecutableIdentity identity{executable.st_dev, executable.st_ino};

    bool allClean = true;
    const double examination = medianMicroseconds([&] {
        allClean = allClean && examinePeerCode(procDirectory.get(), executable, *trust) ==
                                   PeerCodeFinding::clean;
    });
    bool allSame = true;
    const double recheck =
        medianMicroseconds([&] { allSame = allSame && stillRuns(procDirectory.get(), identity); });
    if (!allClean || !allSame) {
        std::fprintf(stderr, "a check failed during the rounds\n");
        return 1;
    }
    report("admission: examining the peer's code / budget", examination, 300.0);
    report("per operation: still the admitted executable / budget", recheck, 5.0);
    std::printf("(medians over %d rounds)\n", rounds);
    return 0;
}

}  // namespace
}  // namespace tavelin::bench

int main() {
    return tavelin::bench::run();
}
