// The two rules that tie every frame to the admitted process, tested with real processes:
// nothing may arrive before the HELLO, and nothing may come from another process.

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "ChildProcess.h"
#include "IpcTestSupport.h"

namespace tavelin {
namespace {

using testing::RunningListener;
using testing::ServiceProbe;
using testing::TestDelegate;

// Reads the peer's stdout until "ready" (or end); returns everything read.
std::string readUntilReady(int output) {
    std::string text;
    char byte = 0;
    while (text.find("ready\n") == std::string::npos && ::read(output, &byte, 1) == 1) {
        text.push_back(byte);
    }
    return text;
}

std::string readRest(int output) {
    std::string text;
    char buffer[256];
    ssize_t count = 0;
    while ((count = ::read(output, buffer, sizeof(buffer))) > 0) {
        text.append(buffer, static_cast<std::size_t>(count));
    }
    return text;
}

TEST(SenderRuleTest, OnlyTheAdmittedProcessMayWriteAndOnlyAfterTheHello) {
    const struct {
        const char* mode;
        int callsAnswered;
    } cases[] = {
        {"normal", 1},  // the control case: the same peer code, obeying the rules
        {"early", 0},   // a call written before admission finished
        {"fork", 0},    // a call written by a child that inherited the admitted socket
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.mode);
        ServiceProbe probe;
        TestDelegate delegate(probe);
        // Admission waits until the peer says it has done its part, so "early" bytes are
        // certainly there before the daemon looks.
        delegate.closeGate();
        const RunningListener listener(delegate, 2);

        auto started = spawnWithCombinedOutput(TAVELIN_IPC_TEST_PEER,
                                               {testCase.mode, listener.name()});
        ASSERT_TRUE(std::holds_alternative<ChildWithOutput>(started));
        auto& peer = std::get<ChildWithOutput>(started);
        const std::string before = readUntilReady(peer.output.get());
        delegate.admissionGate.open();
        const std::string after = readRest(peer.output.get());
        const auto ended = peer.child.wait();
        ASSERT_TRUE(std::holds_alternative<ChildTermination>(ended));
        EXPECT_EQ(std::get<ChildTermination>(ended), (ChildTermination{false, 0}))
            << before << after;
        EXPECT_EQ(delegate.lastPeerPid, peer.child.pid());
        EXPECT_EQ(probe.callsFinished, testCase.callsAnswered);
    }
}

}  // namespace
}  // namespace tavelin
