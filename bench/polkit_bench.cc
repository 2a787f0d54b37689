// polkit_bench: what keeping system-bus connections saves an authorization check, as a
// ratio. In a mount namespace of its own (root), with a system bus and a real polkitd of
// its own (tests/e2e/PolkitWorld), this process asks polkitd many times in a row whether
// it, a root process, may repair permissions (yes: polkitd answers root without rules):
//   1. each check on a new connection (connect, Hello, check, close), the cost without a
//      pool: a pool of its own for each check, closed with it;
//   2. every check through one SystemBusPool, which keeps its connection.
// The two alternate in rounds, so that a busy machine slows both alike. Printed: checks per
// second of each, and the pooled against the new connection's (higher is better).
//
//   polkit_bench [CHECKS]        (as root; 2,000 checks of each kind by default)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>

#include "TavelinPlatform/authority/Polkit.h"
#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/process/PeerProcess.h"
#include "TavelinPlatform/process/Pidfd.h"
#include "tests/e2e/PolkitWorld.h"

namespace tavelin::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int rounds = 20;
constexpr std::chrono::seconds checkWait{10};

bool authorized(polkit::SystemBusPool& buses, const polkit::Subject& self) {
    const auto verdict = polkit::checkAuthorization(
        buses, self, "de.morvane.tavelin.repair-permissions", {}, checkWait);
    return verdict && *verdict == polkit::Verdict::authorized;
}

// `checks` checks, each on a new connection (fresh) or all through `kept`; the time taken,
// or nothing when one was not authorised.
std::optional<Clock::duration> timeChecks(int checks, polkit::SystemBusPool* kept,
                                          const polkit::Subject& self) {
    const auto start = Clock::now();
    for (int check = 0; check < checks; ++check) {
        polkit::SystemBusPool fresh;
        if (!authorized(kept != nullptr ? *kept : fresh, self)) {
            return std::nullopt;
        }
    }
    return Clock::now() - start;
}

int run(int checks) {
    std::string whyNot;
    const auto world = e2e::PolkitWorld::enter(e2e::PolkitWorld::Bus::running, whyNot);
    if (!world) {
        static_cast<void>(std::fprintf(stderr, "polkit_bench: %s\n", whyNot.c_str()));
        return 1;
    }
    if (whyNot = world->startPolkitd(); !whyNot.empty()) {
        static_cast<void>(std::fprintf(stderr, "polkit_bench: %s\n", whyNot.c_str()));
        return 1;
    }
    auto pidfd = openPidfd(::getpid());
    const UniqueFd proc(::open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto started = startTimeOf(proc.get());
    if (!pidfd || !started) {
        static_cast<void>(
            std::fprintf(stderr, "polkit_bench: this process cannot be named to polkit\n"));
        return 1;
    }
    const polkit::Subject self{pidfd->get(), ::getpid(), *started, ::getuid()};
    polkit::SystemBusPool kept;
    Clock::duration newTime{};
    Clock::duration keptTime{};
    const int perRound = checks / rounds > 0 ? checks / rounds : 1;
    for (int round = 0; round <= rounds; ++round) {
        const auto onNew = timeChecks(perRound, nullptr, self);
        const auto onKept = timeChecks(perRound, &kept, self);
        if (!onNew || !onKept) {
            static_cast<void>(std::fprintf(stderr, "polkit_bench: a check was not authorised\n"));
            return 1;
        }
        if (round > 0) {  // the first round warms polkitd and the caches up
            newTime += *onNew;
            keptTime += *onKept;
        }
    }
    const double counted = static_cast<double>(perRound) * rounds;
    const double newRate = counted / std::chrono::duration<double>(newTime).count();
    const double keptRate = counted / std::chrono::duration<double>(keptTime).count();
    static_cast<void>(
        std::printf("checks on a new connection each: %8.0f per second (%.3f ms per check)\n",
                    newRate, 1000.0 / newRate));
    static_cast<void>(
        std::printf("checks on a kept connection:     %8.0f per second (%.3f ms per check)\n",
                    keptRate, 1000.0 / keptRate));
    static_cast<void>(std::printf("kept against new:                %8.2fx\n", keptRate / newRate));
    return 0;
}

}  // namespace
}  // namespace tavelin::bench

int main(int argc, char** argv) {
    const int checks = argc > 1 ? std::atoi(argv[1]) : 2000;  // NOLINT(cert-err34-c)
    if (checks <= 0 || argc > 2) {
        static_cast<void>(std::fprintf(stderr, "usage: polkit_bench [CHECKS]\n"));
        return 64;
    }
    try {
        return tavelin::bench::run(checks);
    } catch (const std::exception& failure) {
        static_cast<void>(std::fprintf(stderr, "polkit_bench: %s\n", failure.what()));
        return 1;
    }
}
