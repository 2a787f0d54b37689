// Concurrency at the listener level: the daemon's listener and HelperService in this
// process, with a stand-in update tool that runs until the test opens and closes a gate.
// A slow update on one connection must not hold up a call on another, and calls on one
// connection are answered in the order they were made.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "ClientFileSystem.h"
#include "EndToEndSupport.h"
#include "Frame.h"
#include "HelperService.h"
#include "Listener.h"
#include "LogSink.h"
#include "SignedCopies.h"
#include "TavelinClient/HelperClient.h"
#include "TavelinShared/PrivilegedOperation.h"
#include "TavelinShared/PrivilegedResult.h"
#include "UnixSocket.h"

namespace tavelin::e2e {
namespace {

// Admits every connection: this test is about serving, not about admission.
class AdmitEveryone final : public ListenerDelegate {
public:
    AdmitEveryone(LogSink& log, const ClientFileSystem& fileSystem, std::string tool)
        : log_(log), fileSystem_(fileSystem), tool_(std::move(tool)) {}

    std::unique_ptr<PrivilegedHelperProtocol> shouldAcceptNewConnection(const PeerProcess&) override {
        return std::make_unique<HelperService>(log_, fileSystem_, tool_);
    }

private:
    LogSink& log_;
    const ClientFileSystem& fileSystem_;
    std::string tool_;
};

// The stand-in update tool blocks reading a FIFO until its writer closes it.
class GatedUpdateTool {
public:
    explicit GatedUpdateTool(const ScratchDirectory& scratch)
        : gate_(scratch.file("gate")), tool_(scratch.file("softwareupdate")) {
        EXPECT_EQ(::mkfifo(gate_.c_str(), 0600), 0);
        std::ofstream(tool_) << "#!/bin/sh\ncat '" << gate_ << "' >/dev/null\necho 'Done.'\n";
        EXPECT_EQ(::chmod(tool_.c_str(), 0755), 0);
    }

    [[nodiscard]] const std::string& path() const { return tool_; }

    // Returns once the tool has opened its end: from then on the update call is running
    // and cannot finish before release().
    void waitUntilRunning() {
        const auto limit = std::chrono::steady_clock::now() + DaemonProcess::safetyLimit;
        while (!writer_ && std::chrono::steady_clock::now() < limit) {
            writer_.reset(::open(gate_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));  // ENXIO: no reader yet
            if (!writer_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        ASSERT_TRUE(writer_) << "the update tool never started";
    }

    void release() { writer_.reset(); }

private:
    std::string gate_;
    std::string tool_;
    UniqueFd writer_;
};

class ListenerConcurrencyTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto root = ClientFileSystem::open("/");
        ASSERT_TRUE(root.ok());
        fileSystem = std::make_unique<ClientFileSystem>(std::move(root.value()));
        delegate = std::make_unique<AdmitEveryone>(log, *fileSystem, tool.path());
        auto socket = listenOnAbstractName(name);
        ASSERT_TRUE(std::holds_alternative<UniqueFd>(socket));
        listener = std::make_unique<Listener>(std::move(std::get<UniqueFd>(socket)), *delegate, 4);
        runner = std::thread([this] { listener->run(); });
    }

    void TearDown() override {
        tool.release();
        if (listener) {
            listener->stop();
        }
        if (runner.joinable()) {
            runner.join();
        }
    }

    const std::string updateRequest = PrivilegedOperation::installSystemUpdates().encode();
    ScratchDirectory scratch;
    GatedUpdateTool tool{scratch};
    CapturingLogSink log;
    std::unique_ptr<ClientFileSystem> fileSystem;
    std::unique_ptr<AdmitEveryone> delegate;
    std::string name = uniqueServiceName();
    std::unique_ptr<Listener> listener;
    std::thread runner;
};

TEST_F(ListenerConcurrencyTest, SlowUpdateOnOneConnectionDoesNotDelayAnother) {
    ClientResult<HelperClient> updating = HelperClient::connect(name);
    ASSERT_TRUE(updating.ok()) << updating.error().text();
    std::future<ClientResult<std::string>> update = std::async(
        std::launch::async, [&] { return updating.value().perform(updateRequest); });
    tool.waitUntilRunning();

    ClientResult<HelperClient> asking = HelperClient::connect(name);
    ASSERT_TRUE(asking.ok()) << asking.error().text();
    const ClientResult<std::string> version = asking.value().helperVersion();
    ASSERT_TRUE(version.ok()) << version.error().text();
    EXPECT_EQ(version.value(), "0.0.1");
    // Answered while the update is provably still running: its tool waits for the gate.
    EXPECT_EQ(update.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

    tool.release();
    const ClientResult<std::string> answer = update.get();
    ASSERT_TRUE(answer.ok()) << answer.error().text();
    EXPECT_TRUE(PrivilegedResult::decode(answer.value()).ok()) << answer.value();
}

TEST_F(ListenerConcurrencyTest, PipelinedCallsOnOneConnectionAreAnsweredInOrder) {
    auto connected = connectToAbstractName(name);
    ASSERT_TRUE(std::holds_alternative<UniqueFd>(connected));
    const UniqueFd socket = std::move(std::get<UniqueFd>(connected));
    FrameReader reader;
    std::string chunk;
    auto nextBody = [&]() -> std::string {
        for (;;) {
            if (std::optional<std::string> body = reader.next()) {
                return *body;
            }
            if (receiveSome(socket.get(), chunk, 65536) || chunk.empty()) {
                return {};
            }
            reader.append(chunk);
        }
    };
    ASSERT_TRUE(std::holds_alternative<std::uint8_t>(decodeHello(nextBody())));
    // The slow update first, then a version query, in one write.
    const std::string calls = *encodeCall({7, CallSelector::perform, updateRequest}) +
                              *encodeCall({8, CallSelector::helperVersion, {}});
    ASSERT_FALSE(sendAll(socket.get(), calls).has_value());
    tool.waitUntilRunning();
    tool.release();

    const auto first = decodeReply(nextBody());
    const auto second = decodeReply(nextBody());
    ASSERT_TRUE(std::holds_alternative<ReplyFrame>(first));
    ASSERT_TRUE(std::holds_alternative<ReplyFrame>(second));
    EXPECT_EQ(std::get<ReplyFrame>(first).callId, 7U);
    EXPECT_TRUE(PrivilegedResult::decode(std::get<ReplyFrame>(first).answer).ok());
    EXPECT_EQ(std::get<ReplyFrame>(second), (ReplyFrame{8, "0.0.1"}));
}

}  // namespace
}  // namespace tavelin::e2e
