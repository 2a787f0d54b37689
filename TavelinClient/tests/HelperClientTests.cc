// The client library against scripted daemons on real abstract sockets: each case plays
// one daemon behaviour on the other end and checks what the client makes of it.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <variant>

#include "TavelinClient/HelperClient.h"
#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinPlatform/ipc/tests/FrameReading.h"
#include "TavelinShared/PrivilegedResult.h"

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
    const std::optional<std::string> body = testing::readFrame(fd, reader);
    auto call = body ? decodeCall(*body) : Unexpected(FrameError::truncated);
    return call ? std::optional(std::move(call).value()) : std::nullopt;
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
        // One row per call: an ASSERT ends this row, and the table goes on.
        [&] {
            const Expected<std::string, ClientError> version = client.value().helperVersion();
            ASSERT_TRUE(version.has_value()) << version.error().text();
            EXPECT_EQ(version.value(), "0.0.1");
            const Expected<std::string, ClientError> answer = client.value().perform(request);
            ASSERT_TRUE(answer.has_value()) << answer.error().text();
            EXPECT_EQ(answer.value(), std::string(request.rbegin(), request.rend()));
        }();
    }
    // A request above the limit is refused unsent; the connection stays usable.
    const Expected<std::string, ClientError> tooLarge =
        client.value().perform(std::string(maxPerformArgumentBytes + 1, 'x'));
    ASSERT_FALSE(tooLarge.has_value());
    EXPECT_EQ(tooLarge.error().kind, ClientErrorKind::invalidRequest);
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
        [&] {
            const ScriptedDaemon daemon(testCase.script);
            Expected<HelperClient, ClientError> client = HelperClient::connect(daemon.name());
            if (testCase.failsAtConnect) {
                ASSERT_FALSE(client.has_value());
                EXPECT_EQ(client.error().kind, testCase.expected) << client.error().text();
                return;
            }
            ASSERT_TRUE(client.has_value()) << client.error().text();
            const Expected<std::string, ClientError> first = client.value().helperVersion();
            ASSERT_FALSE(first.has_value());
            EXPECT_EQ(first.error().kind, testCase.expected) << first.error().text();
            // The broken connection is closed; later calls say so instead of hanging.
            const Expected<std::string, ClientError> second = client.value().helperVersion();
            ASSERT_FALSE(second.has_value());
            EXPECT_EQ(second.error().kind, ClientErrorKind::connectionClosed);
        }();
    }
}

// Answers every perform with a result whose message is the request document it got and
// whose freed bytes are that document's length.
void resultEchoingDaemon(int fd) {
    sendBytes(fd, encodeHello());
    FrameReader reader;
    while (std::optional<CallFrame> call = readCall(fd, reader)) {
        const auto size = static_cast<std::int64_t>(call->argument.size());
        reply(fd, call->callId, PrivilegedResult(true, call->argument, size).encode().value());
    }
}

TEST(HelperClientTest, TypedCallsSendTheirOperationAndReadTheResult) {
    const ScriptedDaemon daemon(resultEchoingDaemon);
    Expected<HelperClient, ClientError> connected = HelperClient::connect(daemon.name());
    ASSERT_TRUE(connected.has_value()) << connected.error().text();
    HelperClient& client = connected.value();
    using Call = std::function<Expected<OperationResult, ClientError>()>;
    const std::vector<std::pair<Call, std::string>> cases = {
        {[&] {
             return client.removeSystemPaths({"/var/cache/a", "/var/log/b"});
         },
         R"({"removeSystemPaths":{"_0":["\/var\/cache\/a","\/var\/log\/b"]}})"},
        {[&] { return client.removeSystemPaths({}); }, R"({"removeSystemPaths":{"_0":[]}})"},
        {[&] { return client.repairPermissions("/opt/x"); },
         R"({"repairPermissions":{"path":"\/opt\/x"}})"},
        {[&] { return client.installSystemUpdates(); }, R"({"installSystemUpdates":{}})"},
    };
    for (const auto& [call, request] : cases) {
        SCOPED_TRACE(request);
        [&] {
            const Expected<OperationResult, ClientError> result = call();
            ASSERT_TRUE(result.has_value()) << result.error().text();
            EXPECT_TRUE(result->success);
            EXPECT_EQ(result->message, request);
            EXPECT_EQ(result->freedBytes, static_cast<std::int64_t>(request.size()));
        }();
    }
}

// What a typed call makes of a request it cannot send and of answers that are no result.
TEST(HelperClientTest, TypedCallsTurnUnsendableRequestsAndNonResultsIntoErrors) {
    struct Case {
        std::string name;
        std::function<void(int)> script;
        std::vector<std::string> paths;
        ClientErrorKind expected;
        std::string detail;
        bool connectionStaysOpen;
    };
    const std::vector<Case> cases = {
        {"a path that is not UTF-8",
         honestDaemon,
         {"/var/cache/a", "/var/cache/\xff"},
         ClientErrorKind::invalidRequest,
         "removeSystemPaths._0.Index 1 is not valid UTF-8",
         true},
        {"an empty answer",
         greetThenAnswerWith([](std::uint64_t id) {
             return *encodeReply({id, ""});
         }),
         {"/var/cache/a"},
         ClientErrorKind::protocolError,
         "an empty answer",
         false},
        {"an answer that is no result",
         greetThenAnswerWith([](std::uint64_t id) {
             return *encodeReply({id, R"({"success":true})"});
         }),
         {"/var/cache/a"},
         ClientErrorKind::protocolError,
         "the answer is not a result",
         false},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        [&] {
            const ScriptedDaemon daemon(testCase.script);
            Expected<HelperClient, ClientError> client = HelperClient::connect(daemon.name());
            ASSERT_TRUE(client.has_value()) << client.error().text();
            const Expected<OperationResult, ClientError> result =
                client.value().removeSystemPaths(testCase.paths);
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error().kind, testCase.expected) << result.error().text();
            EXPECT_TRUE(result.error().detail.starts_with(testCase.detail))
                << result.error().detail;
            EXPECT_EQ(client.value().helperVersion().has_value(), testCase.connectionStaysOpen);
        }();
    }
}

// Reads until the client closes its end: a daemon that never says a word.
void silentUntilClosed(int fd) {
    std::string chunk;
    while (receiveSome(fd, chunk, 64) && !chunk.empty()) {
    }
}

// Greets, then reads nothing more until the client hangs up: its requests fill the socket.
void greetThenStopReading(int fd) {
    sendBytes(fd, encodeHello());
    pollfd hangUp{fd, POLLRDHUP, 0};
    static_cast<void>(::poll(&hangUp, 1, -1));
}

// Greets, reads one call in full and then says nothing until the client hangs up.
void greetReadCallThenStaySilent(int fd) {
    sendBytes(fd, encodeHello());
    FrameReader reader;
    if (readCall(fd, reader)) {
        silentUntilClosed(fd);
    }
}

// Each limit bounds its own step: connecting and the hello, or one call, whichever way the
// daemon stalls (silent, not accepting, not reading, not answering); a broken-off call
// leaves the connection closed.
TEST(HelperClientTest, EveryStepEndsAtItsTimeLimit) {
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
        const Expected<HelperClient, ClientError> client = HelperClient::connect(name, limit);
        ASSERT_FALSE(client.has_value());
        EXPECT_EQ(client.error().kind, ClientErrorKind::timedOut) << client.error().text();
    }
    {
        SCOPED_TRACE("answers after the connect limit, within the call's");
        const ScriptedDaemon daemon(greetThenAnswerWith([limit](std::uint64_t id) {
            std::this_thread::sleep_for(limit * 3);
            return *encodeReply({id, "0.0.1"});
        }));
        Expected<HelperClient, ClientError> client = HelperClient::connect(daemon.name(), limit);
        ASSERT_TRUE(client.has_value()) << client.error().text();
        const Expected<std::string, ClientError> version = client.value().helperVersion(limit * 20);
        ASSERT_TRUE(version.has_value()) << version.error().text();
        EXPECT_EQ(version.value(), "0.0.1");
    }
    struct Stall {
        std::string name;
        std::function<void(int)> script;
        milliseconds limit;
    };
    const std::vector<Stall> stalls = {
        {"reads the call, never answers", greetReadCallThenStaySilent, limit},
        // Longer than one receive may wait in the kernel: the waits add up to the limit.
        {"never answers, past a receive's own wait", greetReadCallThenStaySilent,
         milliseconds(1200)},
        {"stops reading", greetThenStopReading, limit},
    };
    for (const auto& [name, script, callLimit] : stalls) {
        SCOPED_TRACE(name);
        [&] {
            const ScriptedDaemon daemon(script);
            Expected<HelperClient, ClientError> client = HelperClient::connect(daemon.name());
            ASSERT_TRUE(client.has_value()) << client.error().text();
            // Larger than the socket can buffer, so a daemon that does not read holds the send.
            const Expected<std::string, ClientError> answer =
                client.value().perform(std::string(maxPerformArgumentBytes, 'x'), callLimit);
            ASSERT_FALSE(answer.has_value());
            EXPECT_EQ(answer.error().kind, ClientErrorKind::timedOut) << answer.error().text();
            EXPECT_EQ(client.value().helperVersion().error().kind,
                      ClientErrorKind::connectionClosed);
        }();
    }
}

}  // namespace
}  // namespace tavelin
