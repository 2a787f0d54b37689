// The listener with real sockets on test-chosen names: ordering, independence of
// connections, vanishing clients, floods and broken frames.

#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "IpcTestSupport.h"
#include "UnixSocket.h"

namespace tavelin {
namespace {

using testing::closesWithoutData;
using testing::connectAndGreet;
using testing::connectTo;
using testing::readFrame;
using testing::RunningListener;
using testing::sendCall;
using testing::ServiceProbe;
using testing::TestDelegate;

[[nodiscard]] std::optional<ReplyFrame> readReply(int fd, FrameReader& reader) {
    const auto body = readFrame(fd, reader);
    if (!body) {
        return std::nullopt;
    }
    auto reply = decodeReply(*body);
    if (!std::holds_alternative<ReplyFrame>(reply)) {
        return std::nullopt;
    }
    return std::get<ReplyFrame>(std::move(reply));
}

TEST(ListenerTest, PipelinedCallsOnOneConnectionAreAnsweredInOrder) {
    ServiceProbe probe;
    TestDelegate delegate(probe);
    const RunningListener listener(delegate);
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
    EXPECT_EQ(delegate.admissions, 1);
}

TEST(ListenerTest, SlowCallOnOneConnectionDoesNotHoldUpAnother) {
    ServiceProbe probe;
    TestDelegate delegate(probe);
    const RunningListener listener(delegate);

    FrameReader slowReader;
    const UniqueFd slow = connectAndGreet(listener.name(), slowReader);
    ASSERT_TRUE(slow);
    sendCall(slow.get(), 1, CallSelector::perform, "block");
    probe.blockEntered.wait();

    // The slow call is still running (its release gate is closed), yet this one is answered.
    FrameReader quickReader;
    const UniqueFd quick = connectAndGreet(listener.name(), quickReader);
    ASSERT_TRUE(quick);
    sendCall(quick.get(), 7, CallSelector::helperVersion, "");
    const auto quickReply = readReply(quick.get(), quickReader);
    ASSERT_TRUE(quickReply.has_value());
    EXPECT_EQ(quickReply->answer, "0.0.1");
    EXPECT_FALSE(probe.blockRelease.isOpen());

    probe.blockRelease.open();
    const auto slowReply = readReply(slow.get(), slowReader);
    ASSERT_TRUE(slowReply.has_value());
    EXPECT_EQ(slowReply->callId, 1U);
    EXPECT_EQ(slowReply->answer, "echo:block");
}

TEST(ListenerTest, ClientVanishingMidCallLeavesListenerServing) {
    ServiceProbe probe;
    TestDelegate delegate(probe);
    const RunningListener listener(delegate);
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
    sendCall(next.get(), 2, CallSelector::perform, "after");
    const auto reply = readReply(next.get(), reader);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->answer, "echo:after");
    EXPECT_EQ(probe.callsFinished, 2);
}

// One client connection of the flood, driven by poll: HELLO, one call, the reply.
struct FloodClient {
    UniqueFd fd;
    FrameReader reader;
    bool greeted = false;
    bool answered = false;
};

// Advances one flood client on readable input; false when it broke.
[[nodiscard]] bool advance(FloodClient& client, std::uint64_t id) {
    std::string chunk;
    if (receiveSome(client.fd.get(), chunk, 4096) || chunk.empty()) {
        return false;
    }
    client.reader.append(chunk);
    while (auto body = client.reader.next()) {
        if (!client.greeted) {
            client.greeted = std::holds_alternative<std::uint8_t>(decodeHello(*body));
            if (!client.greeted) {
                return false;
            }
            const auto call = encodeCall(CallFrame{id, CallSelector::perform, std::to_string(id)});
            if (!call || sendAll(client.fd.get(), *call)) {
                return false;
            }
            continue;
        }
        auto reply = decodeReply(*body);
        const auto* frame = std::get_if<ReplyFrame>(&reply);
        if (frame == nullptr || frame->callId != id || client.answered ||
            frame->answer != "echo:" + std::to_string(id)) {
            return false;
        }
        client.answered = true;
    }
    return !client.reader.failed();
}

TEST(ListenerTest, FloodOfConnectionsIsServedByFewWorkers) {
    ServiceProbe probe;
    TestDelegate delegate(probe);
    const RunningListener listener(delegate, 8);

    constexpr std::size_t clientCount = 1000;
    std::vector<FloodClient> clients(clientCount);
    for (auto& client : clients) {
        client.fd = connectTo(listener.name());
        ASSERT_TRUE(client.fd);
    }
    std::size_t open = clientCount;
    while (open > 0) {
        std::vector<pollfd> fds;
        std::vector<std::size_t> index;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (clients[i].fd && !clients[i].answered) {
                fds.push_back({clients[i].fd.get(), POLLIN, 0});
                index.push_back(i);
            }
        }
        ASSERT_GT(::poll(fds.data(), fds.size(), 60000), 0) << open << " clients stuck";
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents == 0) {
                continue;
            }
            auto& client = clients[index[k]];
            ASSERT_TRUE(advance(client, index[k])) << "client " << index[k];
            if (client.answered) {
                client.fd.reset();  // frees the worker for the next queued connection
                --open;
            }
        }
    }
    EXPECT_EQ(delegate.admissions, static_cast<int>(clientCount));
    EXPECT_EQ(probe.callsFinished, static_cast<int>(clientCount));
}

TEST(ListenerTest, RefusedConnectionIsClosedWithoutHello) {
    ServiceProbe probe;
    TestDelegate delegate(probe, /*admit=*/false);
    const RunningListener listener(delegate);
    const UniqueFd fd = connectTo(listener.name());
    ASSERT_TRUE(fd);
    FrameReader reader;
    EXPECT_TRUE(closesWithoutData(fd.get(), reader));
    EXPECT_EQ(probe.servicesAlive, 0);
    EXPECT_EQ(probe.callsStarted, 0);
}

[[nodiscard]] std::string rawFrame(std::uint32_t length, std::string_view body) {
    std::string frame;
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame.push_back(static_cast<char>((length >> shift) & 0xFFU));
    }
    frame.append(body);
    return frame;
}

TEST(ListenerTest, BrokenFramesCloseOnlyTheirConnection) {
    const std::string callPrefix = std::string("\x02", 1) + std::string(8, '\0');
    const std::string versionCall = callPrefix + std::string("\x00\x17", 2) +
                                    "helperVersionWithReply:";
    const struct {
        const char* what;
        std::string bytes;  // sent after the HELLO, following one good call
        bool endStream;     // shut down our writing side afterwards
    } cases[] = {
        {"zero length", rawFrame(0, ""), false},
        {"oversize length", rawFrame(maxFrameBody + 1, "x"), false},
        {"unknown type", rawFrame(1, "\x09"), false},
        {"hello from client", rawFrame(2, "\x01\x01"), false},
        {"reply from client", rawFrame(9, std::string("\x03", 1) + std::string(8, '\0')), false},
        {"unknown selector", rawFrame(static_cast<std::uint32_t>(callPrefix.size() + 6),
                                      callPrefix + std::string("\x00\x04", 2) + "nope"),
         false},
        {"selector overrun", rawFrame(static_cast<std::uint32_t>(callPrefix.size() + 4),
                                      callPrefix + std::string("\x00\x40", 2) + "ab"),
         false},
        {"version call with argument",
         rawFrame(static_cast<std::uint32_t>(versionCall.size() + 1), versionCall + "x"), false},
        {"stream ends mid-frame", rawFrame(100, "\x02\x00"), true},
    };
    ServiceProbe probe;
    TestDelegate delegate(probe);
    const RunningListener listener(delegate);
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        FrameReader reader;
        const UniqueFd fd = connectAndGreet(listener.name(), reader);
        ASSERT_TRUE(fd);
        sendCall(fd.get(), 5, CallSelector::helperVersion, "");
        ASSERT_FALSE(sendAll(fd.get(), testCase.bytes).has_value());
        if (testCase.endStream) {
            ::shutdown(fd.get(), SHUT_WR);
        }
        const auto reply = readReply(fd.get(), reader);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->callId, 5U);
        EXPECT_TRUE(closesWithoutData(fd.get(), reader));
    }
    // The listener itself is untouched by all of that.
    FrameReader reader;
    const UniqueFd fd = connectAndGreet(listener.name(), reader);
    ASSERT_TRUE(fd);
    sendCall(fd.get(), 9, CallSelector::helperVersion, "");
    const auto reply = readReply(fd.get(), reader);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->answer, "0.0.1");
}

}  // namespace
}  // namespace tavelin
