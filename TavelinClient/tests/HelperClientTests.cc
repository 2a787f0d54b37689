// The client library against scripted daemons on real abstract sockets: each case plays
// one daemon behaviour on the other end and checks what the client makes of it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <variant>

#include "Frame.h"
#include "TavelinClient/HelperClient.h"
#include "UnixSocket.h"

namespace tavelin {
namespace {

std::string uniqueName() {
    static std::atomic<int> counter{0};
    return "de.morvane.Tavelin.helper.test." + std::to_string(::getpid()) + ".client." +
           std::to_string(counter++);
}

void sendBytes(int fd, std::string_view bytes) {
    static_cast<void>(sendAll(fd, bytes));
}

// Reads one CALL from `fd`; nothing when the client closed or sent garbage.
std::optional<CallFrame> readCall(int fd, FrameReader& reader) {
    std::string chunk;
    for (;;) {
        if (std::optional<std::string> body = reader.next()) {
            auto call = decodeCall(*body);
            if (call) {
                return std::move(call).value();
            }
            return std::nullopt;
        }
        if (reader.failed() || !receiveSome(fd, chunk, 65536) || chunk.empty()) {
            return std::nullopt;
        }
        reader.append(chunk);
    }
}

void reply(int fd, std::uint64_t callId, std::string answer) {
    sendBytes(fd, *encodeReply(ReplyFrame{callId, std::move(answer)}));
}

// Serves one connection on a fresh name with `script`, on a thread of this process (which
// runs as a trusted user: root, or the developer who configured the build).
class ScriptedDaemon {
  public:
    explicit ScriptedDaemon(std::function<void(int)> script)
        : name_(uniqueName()),
          listener_(listenOnAbstractName(name_).value()),
          thread_([this, script = std::move(script)] {
              auto accepted = acceptConnection(listener_.get());
              if (accepted) {
                  script(accepted->get());
              }
          }) {}
    ScriptedDaemon(const ScriptedDaemon&) = delete;
    ScriptedDaemon& operator=(const ScriptedDaemon&) = delete;
    ~ScriptedDaemon() { thread_.join(); }

    [[nodiscard]] const std::string& name() const { return name_; }

  private:
    std::string name_;
    UniqueFd listener_;
    std::thread thread_;
};

// Answers calls like the daemon: the version, and the argument of perform reversed, so
// a test can see that the bytes made the round trip unchanged.
void honestDaemon(int fd) {
    sendBytes(fd, encodeHello());
    FrameReader reader;
    while (std::optional<CallFrame> call = readCall(fd, reader)) {
        if (call->selector == CallSelector::helperVersion) {
            reply(fd, call->callId, "0.0.1");
        } else {
            reply(fd, call->callId, std::string(call->argument.rbegin(), call->argument.rend()));
        }
    }
}

TEST(HelperClientTest, CallsMakeTheRoundTripWithTheirBytesUnchanged) {
    const ScriptedDaemon daemon(honestDaemon);
    Expected<HelperClient, ClientError> client = HelperClient::connect(daemon.name());
    ASSERT_TRUE(client.has_value()) << client.error().text();
    EXPECT_EQ(client.value().daemonPid(), ::getpid());

    const std::vector<std::string> requests = {"", std::string("a\0b\xff", 4),
                                               std::string(maxPerformArgumentBytes - 1, 'z') + "!"};
    for (const std::string& request : requests) {
        SCOPED_TRACE("request of " + std::to_string(request.size()) +
                     " bytes: " + request.substr(0, 60));
        const Expected<std::string, ClientError> version = client.value().helperVersion();
        ASSERT_TRUE(version.has_value()) << version.error().text();
        EXPECT_EQ(version.value(), "0.0.1");
        const Expected<std::string, ClientError> answer = client.value().perform(request);
        ASSERT_TRUE(answer.has_value()) << answer.error().text();
        EXPECT_EQ(answer.value(), std::string(request.rbegin(), request.rend()));
    }
    // A request above the limit is refused unsent; the connection stays usable.
    const Expected<std::string, ClientError> tooLarge =
        client.value().perform(std::string(maxPerformArgumentBytes + 1, 'x'));
    ASSERT_FALSE(tooLarge.has_value());
    EXPECT_EQ(tooLarge.error().kind, ClientErrorKind::protocolError);
    EXPECT_TRUE(client.value().helperVersion().has_value());
}

TEST(HelperClientTest, NobodyListeningMeansTheDaemonIsNotRunning) {
    const Expected<HelperClient, ClientError> client = HelperClient::connect(uniqueName());
    ASSERT_FALSE(client.has_value());
    EXPECT_EQ(client.error().kind, ClientErrorKind::daemonNotRunning);
    EXPECT_NE(client.error().text().find("not running"), std::string::npos);
}

struct MisbehaviourCase {
    std::string name;
    std::function<void(int)> script;
    bool failsAtConnect;  // otherwise at the first call
    ClientErrorKind expected;
};

std::string header(std::uint32_t length) {
    return {static_cast<char>(length >> 24U), static_cast<char>(length >> 16U),
            static_cast<char>(length >> 8U), static_cast<char>(length)};
}

// Greets, reads one call and answers it with the raw bytes `answer` makes of its id.
std::function<void(int)> greetThenAnswerWith(std::function<std::string(std::uint64_t)> answer) {
    return [answer = std::move(answer)](int fd) {
        sendBytes(fd, encodeHello());
        FrameReader reader;
        if (std::optional<CallFrame> call = readCall(fd, reader)) {
            sendBytes(fd, answer(call->callId));
        }
    };
}

TEST(HelperClientTest, EveryDaemonMisbehaviourBecomesAnErrorValue) {
    const std::vector<MisbehaviourCase> cases = {
        {"closes without hello (refused admission)", [](int) {}, true,
         ClientErrorKind::connectionRefused},
        {"hello of protocol version 2",
         [](int fd) { sendBytes(fd, header(2) + std::string("\x01\x02", 2)); }, true,
         ClientErrorKind::protocolError},
        {"zero length prefix", [](int fd) { sendBytes(fd, header(0)); }, true,
         ClientErrorKind::protocolError},
        {"bytes after the hello",
         [](int fd) {
             sendBytes(fd, encodeHello() + *encodeReply(ReplyFrame{1, "x"}));
         },
         true, ClientErrorKind::protocolError},
        {"closes instead of answering", greetThenAnswerWith([](std::uint64_t) { return ""; }),
         false, ClientErrorKind::connectionClosed},
        {"answers another call id", greetThenAnswerWith([](std::uint64_t id) {
             return *encodeReply({id + 1, "0.0.1"});
         }),
         false, ClientErrorKind::protocolError},
        {"answers twice", greetThenAnswerWith([](std::uint64_t id) {
             return *encodeReply({id, "0.0.1"}) + *encodeReply({id, "0.0.1"});
         }),
         false, ClientErrorKind::protocolError},
    };
    for (const MisbehaviourCase& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const ScriptedDaemon daemon(testCase.script);
        Expected<HelperClient, ClientError> client = HelperClient::connect(daemon.name());
        if (testCase.failsAtConnect) {
            ASSERT_FALSE(client.has_value());
            EXPECT_EQ(client.error().kind, testCase.expected) << client.error().text();
            continue;
        }
        ASSERT_TRUE(client.has_value()) << client.error().text();
        const Expected<std::string, ClientError> first = client.value().helperVersion();
        ASSERT_FALSE(first.has_value());
        EXPECT_EQ(first.error().kind, testCase.expected) << first.error().text();
        // The broken connection is closed; later calls say so instead of hanging.
        const Expected<std::string, ClientError> second = client.value().helperVersion();
        ASSERT_FALSE(second.has_value());
        EXPECT_EQ(second.error().kind, ClientErrorKind::connectionClosed);
    }
}

// Reads until the client closes its end: a daemon that never says a word.
void silentUntilClosed(int fd) {
    std::string chunk;
    while (receiveSome(fd, chunk, 64) && !chunk.empty()) {
    }
}

// The time limit covers connecting and the hello, and nothing after them.
TEST(HelperClientTest, TheTimeoutEndsTheWaitForAHelloButNeverACall) {
    using std::chrono::milliseconds;
    const milliseconds limit(150);
    {
        SCOPED_TRACE("accepts but never greets");
        const ScriptedDaemon daemon(silentUntilClosed);
        const auto start = std::chrono::steady_clock::now();
        const Expected<HelperClient, ClientError> client =
            HelperClient::connect(daemon.name(), limit);
        // Over when the limit says, give or take the scheduler: not a multiple of it.
        EXPECT_LT(std::chrono::steady_clock::now() - start, limit * 3);
        ASSERT_FALSE(client.has_value());
        EXPECT_EQ(client.error().kind, ClientErrorKind::timedOut) << client.error().text();
        EXPECT_EQ(client.error().text(), "the Tavelin helper did not answer in time (service " +
                                             daemon.name() + ", no hello within 150 ms)");
    }
    {
        SCOPED_TRACE("never accepts, backlog full");
        const std::string name = uniqueName();
        const UniqueFd listener = listenOnAbstractName(name, 0).value();
        const UniqueFd filler = connectToAbstractName(name).value();  // fills backlog 0
        const auto start = std::chrono::steady_clock::now();
        const Expected<HelperClient, ClientError> client = HelperClient::connect(name, limit);
        EXPECT_LT(std::chrono::steady_clock::now() - start, limit * 3);
        ASSERT_FALSE(client.has_value());
        EXPECT_EQ(client.error().kind, ClientErrorKind::timedOut) << client.error().text();
    }
    {
        SCOPED_TRACE("greets, then answers long after the limit");
        const ScriptedDaemon daemon(greetThenAnswerWith([limit](std::uint64_t id) {
            std::this_thread::sleep_for(limit * 3);
            return *encodeReply({id, "0.0.1"});
        }));
        Expected<HelperClient, ClientError> client = HelperClient::connect(daemon.name(), limit);
        ASSERT_TRUE(client.has_value()) << client.error().text();
        const Expected<std::string, ClientError> version = client.value().helperVersion();
        ASSERT_TRUE(version.has_value()) << version.error().text();
        EXPECT_EQ(version.value(), "0.0.1");
    }
}

}  // namespace
}  // namespace tavelin
