// The two rules that tie every frame to the admitted process: nothing may arrive before
// the HELLO, and nothing may come from another process, here a forked child writing on
// the socket it inherited.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "TavelinHelper/front/tests/FrontTestSupport.h"

namespace tavelin {
namespace {

using testing::closesWithoutData;
using testing::connectTo;
using testing::readFrame;
using testing::readReply;
using testing::RunningFront;
using testing::ServiceProbe;
using testing::TestDelegate;

TEST(SenderRuleTest, OnlyTheAdmittedProcessMayWriteAndOnlyAfterTheHello) {
    const std::string call = *encodeCall(CallFrame{1, CallSelector::helperVersion, ""});
    for (const std::string mode : {"normal", "early", "fork"}) {
        SCOPED_TRACE(mode);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            ServiceProbe probe;
            TestDelegate delegate(probe);
            delegate.closeGate();  // admission waits, so "early" bytes are surely there before it
            const RunningFront listener(delegate);
            const UniqueFd fd = connectTo(listener.name());
            ASSERT_TRUE(fd);
            if (mode == "early") {
                ASSERT_TRUE(sendAll(fd.get(), call).has_value());
            }
            delegate.admissionGate.open();
            FrameReader reader;
            if (mode != "early") {
                ASSERT_TRUE(readFrame(fd.get(), reader).has_value());  // the HELLO
            }
            if (mode == "fork") {
                const pid_t child = ::fork();
                if (child == 0) {
                    ::_exit(::write(fd.get(), call.data(), call.size()) ==
                                    static_cast<ssize_t>(call.size())
                                ? 0
                                : 1);
                }
                int status = -1;
                ASSERT_EQ(::waitpid(child, &status, 0), child);
                ASSERT_EQ(status, 0);
            }
            if (mode == "normal") {
                ASSERT_TRUE(sendAll(fd.get(), call).has_value());
                const auto reply = readReply(fd.get(), reader);
                ASSERT_TRUE(reply.has_value());
                EXPECT_EQ(reply->answer, "0.0.1");
            } else {
                EXPECT_TRUE(closesWithoutData(fd.get(), reader));
                EXPECT_EQ(delegate.nextEnd(), mode == "early" ? ConnectionEnd::bytesBeforeHello
                                                              : ConnectionEnd::foreignSender);
            }
            EXPECT_EQ(delegate.lastPeerPid, ::getpid());
            EXPECT_EQ(probe.callsStarted, mode == "normal" ? 1 : 0);
        }();
    }
}

}  // namespace
}  // namespace tavelin
