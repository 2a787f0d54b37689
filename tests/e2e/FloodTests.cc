// Five hundred connections at once, admitted and refused mixed: every one is handled,
// every admitted call is answered exactly once, and the daemon serves on afterwards.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EndToEndSupport.h"
#include "SignedCopies.h"

namespace tavelin::e2e {
namespace {

using FloodTest = DaemonTest;

constexpr int signedPeers = 5;
constexpr int connectionsPerSignedPeer = 60;
constexpr int unsignedPeers = 4;
constexpr int connectionsPerUnsignedPeer = 50;

std::string tally(int connections, int admitted, int refused) {
    return "connections=" + std::to_string(connections) + " admitted=" + std::to_string(admitted) +
           " refused=" + std::to_string(refused) + " answered=" + std::to_string(admitted) +
           " duplicates=0 errors=0\n";
}

TEST_F(FloodTest, FiveHundredConnectionsAtOnceAreAllHandled) {
    static_assert(signedPeers * connectionsPerSignedPeer +
                      unsignedPeers * connectionsPerUnsignedPeer == 500);
    const ScratchDirectory scratch;
    const std::string unsignedPeer = scratch.file("peer-unsigned");
    ASSERT_EQ(makeUnsignedCopy(peerPath, unsignedPeer), "");

    // Every peer waits for its stdin to close, then opens all its connections at once.
    std::vector<ClientProcess> peers;
    std::map<pid_t, bool> isSigned;
    for (int index = 0; index < signedPeers + unsignedPeers; ++index) {
        const bool signedOne = index < signedPeers;
        const int count = signedOne ? connectionsPerSignedPeer : connectionsPerUnsignedPeer;
        peers.emplace_back(signedOne ? peerPath : unsignedPeer,
                           std::vector<std::string>{"flood", std::to_string(count)},
                           daemonProcess->serviceName());
        ASSERT_GT(peers.back().pid(), 0) << peers.back().whyNot();
        isSigned[peers.back().pid()] = signedOne;
    }
    for (ClientProcess& peer : peers) {
        peer.closeInput();
    }
    for (ClientProcess& peer : peers) {
        const ClientOutcome outcome = peer.finish();
        SCOPED_TRACE("peer " + std::to_string(outcome.pid) + (isSigned[outcome.pid] ? " signed" : " unsigned"));
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
        EXPECT_EQ(outcome.out, isSigned[outcome.pid]
                                   ? tally(connectionsPerSignedPeer, connectionsPerSignedPeer, 0)
                                   : tally(connectionsPerUnsignedPeer, 0, connectionsPerUnsignedPeer));
    }

    // One reason line and one refusal line per refused connection, each refusal naming an
    // unsigned peer; nothing at all for the admitted ones.
    const std::size_t refusedTotal = std::size_t{unsignedPeers} * connectionsPerUnsignedPeer;
    daemonProcess->waitForLines(
        [](const std::string& line) { return line.rfind("[TavelinHelper] Verbindung ABGELEHNT", 0) == 0; },
        refusedTotal);
    std::map<std::string, int> counts;
    for (const std::string& line : linesAfter(1)) {  // after the start line
        ++counts[line];
    }
    std::map<std::string, int> expected = {{refusalReasonLine, static_cast<int>(refusedTotal)}};
    for (const auto& [pid, signedOne] : isSigned) {
        if (!signedOne) {
            expected[refusalLine(pid)] = connectionsPerUnsignedPeer;
        }
    }
    EXPECT_EQ(counts, expected);

    EXPECT_TRUE(daemonProcess->isRunning());
    const ClientOutcome version = tavelinctl({"version"});
    EXPECT_EQ(version.out, "0.0.1\n") << version.err;
}

}  // namespace
}  // namespace tavelin::e2e
