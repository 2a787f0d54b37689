// The listener with real sockets on test-chosen names: ordering, independence of
// connections, vanishing clients and broken frames.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "TavelinHelper/front/tests/FrontTestSupport.h"
#include "TavelinPlatform/fs/tests/ScratchTree.h"
#include "TavelinPlatform/ipc/UnixSocket.h"

namespace tavelin {
namespace {

using testing::closesWithoutData;
using testing::connectAndGreet;
using testing::readReply;
using testing::RunningFront;
using testing::sendCall;
using testing::ServiceProbe;
using testing::TestDelegate;

// A front with the test services behind it, and a connection's call and its answer.
class ListenerTest : public ::testing::Test {
  protected:
    // The answer to one call, "" when none came.
    static std::string answerTo(int fd, FrameReader& reader, std::uint64_t callId,
                                const std::string& argument = {}) {
        sendCall(fd, callId, argument.empty() ? CallSelector::helperVersion : CallSelector::perform,
                 argument);
        const auto reply = readReply(fd, reader);
        return reply ? reply->answer : "";
    }

    ServiceProbe probe;
    TestDelegate delegate{probe};
    const RunningFront listener{delegate};
};

TEST_F(ListenerTest, PipelinedCallsOnOneConnectionAreAnsweredInOrder) {
    FrameReader reader;
    const UniqueFd fd = connectAndGreet(listener.name(), reader);
    ASSERT_TRUE(fd);

    constexpr int callCount = 200;
    for (int i = 0; i < callCount; ++i) {
        const auto selector = i % 3 == 0 ? CallSelector::helperVersion : CallSelector::perform;
        sendCall(fd.get(), 1000 + static_cast<std::uint64_t>(i), selector,
                 selector == CallSelector::perform ? std::to_string(i) : "");
    }
    for (int i = 0; i < callCount; ++i) {
        const auto reply = readReply(fd.get(), reader);
        ASSERT_TRUE(reply.has_value()) << "call " << i;
        EXPECT_EQ(reply->callId, 1000 + static_cast<std::uint64_t>(i));
        EXPECT_EQ(reply->answer, i % 3 == 0 ? "0.0.1" : "echo:" + std::to_string(i));
    }
}

TEST_F(ListenerTest, SlowCallOnOneConnectionDoesNotHoldUpAnother) {
    FrameReader slowReader;
    const UniqueFd slow = connectAndGreet(listener.name(), slowReader);
    ASSERT_TRUE(slow);
    sendCall(slow.get(), 1, CallSelector::perform, "block");
    probe.blockEntered.wait();

    // The slow call is still running (its release gate is closed), yet this one is answered.
    FrameReader quickReader;
    const UniqueFd quick = connectAndGreet(listener.name(), quickReader);
    ASSERT_TRUE(quick);
    EXPECT_EQ(answerTo(quick.get(), quickReader, 7), "0.0.1");

    probe.blockRelease.open();
    const auto slowReply = readReply(slow.get(), slowReader);
    ASSERT_TRUE(slowReply.has_value());
    EXPECT_EQ(slowReply->callId, 1U);
    EXPECT_EQ(slowReply->answer, "echo:block");
}

TEST_F(ListenerTest, ClientVanishingMidCallLeavesListenerServing) {
    {
        FrameReader reader;
        const UniqueFd doomed = connectAndGreet(listener.name(), reader);
        ASSERT_TRUE(doomed);
        sendCall(doomed.get(), 1, CallSelector::perform, "block");
        probe.blockEntered.wait();
    }  // closed while its call runs; the reply will meet a closed socket (no SIGPIPE)
    probe.blockRelease.open();
    probe.blockLeft.wait();

    FrameReader reader;
    const UniqueFd next = connectAndGreet(listener.name(), reader);
    ASSERT_TRUE(next);
    EXPECT_EQ(answerTo(next.get(), reader, 2, "after"), "echo:after");
    EXPECT_EQ(probe.callsFinished, 2);
}

[[nodiscard]] std::string rawFrame(std::uint32_t length, std::string_view body) {
    std::string frame;
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame.push_back(static_cast<char>((length >> shift) & 0xFFU));
    }
    frame.append(body);
    return frame;
}

TEST_F(ListenerTest, BrokenFramesCloseOnlyTheirConnection) {
    const std::string callPrefix = std::string("\x02", 1) + std::string(8, '\0');
    const struct {
        const char* what;
        std::string bytes;  // sent after the HELLO, following one good call
        bool endStream;     // shut down our writing side afterwards
    } cases[] = {
        {"zero length", rawFrame(0, ""), false},
        {"oversize length", rawFrame(maxFrameBody + 1, "x"), false},
        {"unknown selector",
         rawFrame(static_cast<std::uint32_t>(callPrefix.size() + 6),
                  callPrefix + std::string("\x00\x04", 2) + "nope"),
         false},
        {"stream ends mid-frame", rawFrame(100, "\x02\x00"), true},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            FrameReader reader;
            const UniqueFd fd = connectAndGreet(listener.name(), reader);
            ASSERT_TRUE(fd);
            sendCall(fd.get(), 5, CallSelector::helperVersion, "");
            ASSERT_TRUE(sendAll(fd.get(), testCase.bytes).has_value());
            if (testCase.endStream) {
                ::shutdown(fd.get(), SHUT_WR);
            }
            const auto reply = readReply(fd.get(), reader);
            ASSERT_TRUE(reply.has_value());
            EXPECT_EQ(reply->callId, 5U);
            EXPECT_TRUE(closesWithoutData(fd.get(), reader));
            EXPECT_EQ(delegate.nextEnd(), ConnectionEnd::protocolError);
        }();
    }
    // The listener itself is untouched by all of that.
    FrameReader reader;
    const UniqueFd fd = connectAndGreet(listener.name(), reader);
    EXPECT_EQ(answerTo(fd.get(), reader, 9), "0.0.1");
}

// The version as another user than this test's (uid 65534) is answered.
std::optional<std::string> versionAsAnotherUser(const std::string& name) {
    return testing::runInChild(
        [&] {
            FrameReader reader;
            const UniqueFd fd = testing::connectAndGreet(name, reader);
            testing::sendCall(fd.get(), 3, CallSelector::helperVersion, "");
            const auto reply = readReply(fd.get(), reader);
            return reply ? reply->answer : "";
        },
        true);
}

// True when the daemon greets within a moment; false when the connection waits or closes.
bool greetedSoon(int fd) {
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, 1000) != 1) {
        return false;
    }
    FrameReader reader;
    const auto hello = testing::readFrame(fd, reader);
    return hello.has_value();
}

TEST(FrontLimitTest, OneUserGetsNoMoreThanItsConnectionsAndAllTogetherWaitInTheBacklog) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to connect as another user";
    }
    ServiceProbe probe;
    TestDelegate delegate(probe);
    {
        // One user's third connection is closed at once; another user still gets in.
        FrontLimits limits;
        limits.maxConnectionsPerUser = 2;
        const RunningFront front(delegate, limits);
        const UniqueFd first = testing::connectTo(front.name());
        const UniqueFd second = testing::connectTo(front.name());
        EXPECT_TRUE(greetedSoon(first.get()));
        EXPECT_TRUE(greetedSoon(second.get()));
        const UniqueFd third = testing::connectTo(front.name());
        FrameReader reader;
        EXPECT_TRUE(testing::closesWithoutData(third.get(), reader));
        EXPECT_EQ(versionAsAnotherUser(front.name()), "0.0.1");
    }
    {
        // All slots taken: the next connection waits, unread, until one is free.
        FrontLimits limits;
        limits.maxConnections = 2;
        const RunningFront front(delegate, limits);
        std::vector<UniqueFd> held;
        held.push_back(testing::connectTo(front.name()));
        held.push_back(testing::connectTo(front.name()));
        EXPECT_TRUE(greetedSoon(held[0].get()));
        EXPECT_TRUE(greetedSoon(held[1].get()));
        const UniqueFd waiting = testing::connectTo(front.name());
        EXPECT_FALSE(greetedSoon(waiting.get()));
        held.pop_back();
        EXPECT_TRUE(greetedSoon(waiting.get()));
    }
}

// A front whose frames must be complete within 300 ms and whose one user may hold 256 KiB.
class FrameDeadlineTest : public ::testing::Test {
  protected:
    static FrontLimits shortLimits() {
        FrontLimits limits;
        limits.partialFrameDeadline = std::chrono::milliseconds(300);
        limits.maxBufferedBytesPerUser = std::size_t{256} * 1024;
        return limits;
    }
    // A perform call whose argument is `bytes` long.
    static std::string frameOf(std::size_t bytes) {
        return *encodeCall(CallFrame{1, CallSelector::perform, std::string(bytes, 'x')});
    }

    ServiceProbe probe;
    TestDelegate delegate{probe};
    const RunningFront front{delegate, shortLimits()};
};

// A frame begun and left unfinished: closed at its deadline, nothing called.
TEST_F(FrameDeadlineTest, AFrameLeftUnfinishedIsClosedAtItsDeadline) {
    FrameReader reader;
    const UniqueFd fd = testing::connectAndGreet(front.name(), reader);
    ASSERT_TRUE(fd);
    ASSERT_TRUE(sendAll(fd.get(), frameOf(64).substr(0, 20)));
    EXPECT_TRUE(closesWithoutData(fd.get(), reader));
    EXPECT_EQ(delegate.nextEnd(), ConnectionEnd::frameTimeout);
    EXPECT_EQ(probe.callsStarted, 0);
}

// A frame's deadline runs from its first byte, however steadily the rest trickles in.
TEST_F(FrameDeadlineTest, AFrameDrippedByteByByteIsClosedAtItsDeadline) {
    const std::string frame = frameOf(64);
    FrameReader reader;
    const UniqueFd fd = connectAndGreet(front.name(), reader);
    ASSERT_TRUE(fd);
    // A byte every 100 ms: the whole frame would take over 8 s, the deadline allows 0.3 s
    // (checked once a second).
    std::size_t dripped = 0;
    for (; dripped < frame.size(); ++dripped) {
        if (::send(fd.get(), &frame[dripped], 1, MSG_NOSIGNAL) != 1) {
            break;
        }
        pollfd closed{fd.get(), POLLIN | POLLRDHUP, 0};
        if (::poll(&closed, 1, 100) != 0) {
            break;
        }
    }
    ASSERT_LT(dripped, frame.size() - 1) << "the frame was never cut off";
    EXPECT_TRUE(closesWithoutData(fd.get(), reader));
    EXPECT_EQ(delegate.nextEnd(), ConnectionEnd::frameTimeout);
    EXPECT_EQ(probe.callsStarted, 0);
}

// Senders that wait for the socket (as a client's blocking write does) on several
// connections of one user: the front reads no further than the user's budget, so frames
// larger than it never complete and end at their deadline.
TEST_F(FrameDeadlineTest, OneUsersBlockingSendersStopAtItsBudget) {
    const std::string frame = frameOf(std::size_t{900} * 1024);
    constexpr int connectionCount = 3;
    std::vector<FrameReader> readers(connectionCount);
    std::vector<UniqueFd> connections;
    std::vector<std::thread> senders;
    senders.reserve(connectionCount);
    for (int index = 0; index < connectionCount; ++index) {
        connections.push_back(connectAndGreet(front.name(), readers[index]));
        ASSERT_TRUE(connections.back());
    }
    for (const UniqueFd& fd : connections) {
        senders.emplace_back(
            [&frame, socket = fd.get()] { static_cast<void>(sendAll(socket, frame)); });
    }
    int closed = 0;
    for (int index = 0; index < connectionCount; ++index) {
        closed += closesWithoutData(connections[index].get(), readers[index]) ? 1 : 0;
    }
    for (std::thread& sender : senders) {
        sender.join();  // each send ends once its frame is in or its connection closed
    }
    EXPECT_EQ(probe.callsStarted, 0);
    ASSERT_EQ(closed, connectionCount);
    for (int index = 0; index < connectionCount; ++index) {
        EXPECT_EQ(delegate.nextEnd(), ConnectionEnd::frameTimeout);
    }
}

TEST(FrontLimitTest, CallsBeyondAUsersOperationSlotsWaitTheirTurn) {
    ServiceProbe probe;
    TestDelegate delegate(probe);
    FrontLimits limits;
    limits.maxOperationsInFlightPerUser = 1;
    const RunningFront front(delegate, limits);
    FrameReader firstReader;
    FrameReader secondReader;
    const UniqueFd first = testing::connectAndGreet(front.name(), firstReader);
    const UniqueFd second = testing::connectAndGreet(front.name(), secondReader);
    testing::sendCall(first.get(), 1, CallSelector::perform, "block");
    probe.blockEntered.wait();
    testing::sendCall(second.get(), 2, CallSelector::perform, "after");
    // The second connection's version call is not an operation: answered meanwhile.
    testing::sendCall(second.get(), 3, CallSelector::helperVersion, "");
    ::usleep(100000);
    EXPECT_EQ(probe.callsStarted, 1);
    probe.blockRelease.open();
    EXPECT_EQ(readReply(first.get(), firstReader)->answer, "echo:block");
    EXPECT_EQ(readReply(second.get(), secondReader)->answer, "echo:after");
    EXPECT_EQ(readReply(second.get(), secondReader)->answer, "0.0.1");
}

}  // namespace
}  // namespace tavelin
