#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

#include "TavelinHelper/front/FrontDelegate.h"
#include "TavelinHelper/front/FrontServer.h"
#include "TavelinHelper/front/MonitorClient.h"
#include "TavelinPlatform/channel/ChannelSocket.h"
#include "TavelinPlatform/core/UniqueFd.h"
#include "TavelinPlatform/ipc/Frame.h"
#include "TavelinPlatform/ipc/UnixSocket.h"
#include "TavelinPlatform/ipc/tests/FrameReading.h"

namespace tavelin::testing {

// A fresh abstract name for one test's listener, never the daemon's own.
inline std::string uniqueServiceName() {
    static std::atomic<int> counter{0};
    return "de.morvane.Tavelin.helper.test." + std::to_string(::getpid()) + "." +
           std::to_string(counter.fetch_add(1));
}

// A one-way latch: wait() blocks until open() was called.
class Gate {
  public:
    void open() {
        const std::lock_guard lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// What the test services share with the test: how many calls they ran, and the gates
// that a call with the argument "block" passes through.
struct ServiceProbe {
    std::atomic<int> callsStarted{0};
    std::atomic<int> callsFinished{0};
    Gate blockEntered;  // opened when a "block" call has started
    Gate blockRelease;  // a "block" call waits for this before answering
    Gate blockLeft;     // opened when a "block" call has answered and counted itself
};

// Answers "0.0.1" to helperVersion and "echo:<argument>" to perform. A "block" call is
// answered later from a thread of its own, as the daemon's service answers once the
// monitor has: perform itself never waits.
class EchoService final : public ConnectionService {
  public:
    explicit EchoService(ServiceProbe& probe) : probe_(probe) {}
    EchoService(const EchoService&) = delete;
    EchoService& operator=(const EchoService&) = delete;
    ~EchoService() override {
        if (answering_.joinable()) {
            answering_.join();
        }
    }

    void helperVersion(const VersionReply& reply) override {
        ++probe_.callsStarted;
        reply("0.0.1");
        ++probe_.callsFinished;
    }
    void perform(std::string_view operationJSON, const DataReply& reply) override {
        ++probe_.callsStarted;
        if (operationJSON != "block") {
            reply("echo:" + std::string(operationJSON));
            ++probe_.callsFinished;
            return;
        }
        probe_.blockEntered.open();
        answering_ = std::thread([this, reply] {
            probe_.blockRelease.wait();
            reply("echo:block");
            ++probe_.callsFinished;
            probe_.blockLeft.open();
        });
    }

  private:
    ServiceProbe& probe_;
    std::thread answering_;
};

// Admits every peer, after `admissionGate` was opened if closeGate() was called.
class TestDelegate final : public FrontDelegate {
  public:
    explicit TestDelegate(ServiceProbe& probe) : probe_(probe) {}

    std::unique_ptr<ConnectionService> shouldAcceptNewConnection(MonitoredPeer* /*peer*/,
                                                                 LogPeer client) override {
        lastPeerPid = client.pid;
        if (gated_) {
            admissionGate.wait();
        }
        return std::make_unique<EchoService>(probe_);
    }

    void connectionEnded(LogPeer /*client*/, ConnectionEnd end) override {
        const std::lock_guard lock(endsMutex_);
        ends_.push_back(end);
        endReported_.notify_all();
    }

    // How the next admitted connection ended, in the order they ended; waits for it.
    ConnectionEnd nextEnd() {
        std::unique_lock lock(endsMutex_);
        endReported_.wait(lock, [this] { return !ends_.empty(); });
        const ConnectionEnd end = ends_.front();
        ends_.pop_front();
        return end;
    }

    Gate admissionGate;
    void closeGate() { gated_ = true; }
    std::atomic<pid_t> lastPeerPid{0};

  private:
    ServiceProbe& probe_;
    std::atomic<bool> gated_{false};
    std::mutex endsMutex_;
    std::condition_variable endReported_;
    std::deque<ConnectionEnd> ends_;
};

// Stands in for the monitor where the delegate admits without looking at the peer: it
// accepts what the front asks for and answers every look with ENOSYS. Runs on its own
// thread until the front's end of the channel closes.
class AcceptingMonitor {
  public:
    AcceptingMonitor(UniqueFd channel, int listening)
        : listening_(::fcntl(listening, F_DUPFD_CLOEXEC, 0)),
          thread_([this, channel = std::move(channel)] { serve(channel.get()); }) {
        ::fcntl(listening_.get(), F_SETFL, ::fcntl(listening_.get(), F_GETFL) | O_NONBLOCK);
    }
    ~AcceptingMonitor() { thread_.join(); }
    AcceptingMonitor(const AcceptingMonitor&) = delete;
    AcceptingMonitor& operator=(const AcceptingMonitor&) = delete;

  private:
    void serve(int channel) {
        std::uint64_t nextHandle = 1;
        for (;;) {
            auto datagram = channel::receiveDatagram(channel);
            auto request =
                datagram ? channel::decodeRequest(datagram->bytes, datagram->descriptor.valid())
                         : Unexpected(channel::ChannelError::truncated);
            if (!datagram) {
                return;
            }
            if (!request) {
                continue;
            }
            if (std::holds_alternative<channel::AcceptPeer>(request->message)) {
                answerAccept(channel, request->requestId, nextHandle++);
            } else if (channel::ruleOf(request->message).answered) {
                channel::PeerOpened failed;
                failed.errorNumber = ENOSYS;
                static_cast<void>(channel::sendDatagram(
                    channel, channel::encodeReply(request->requestId, failed)));
            }
        }
    }

    void answerAccept(int channel, std::uint64_t requestId, std::uint64_t handle) {
        channel::PeerAccepted accepted;
        accepted.errorNumber = EAGAIN;
        const UniqueFd connection(
            ::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (connection) {
            if (const auto credentials = peerCredentials(connection.get())) {
                accepted = {0, handle, credentials->pid, credentials->uid, credentials->gid};
            }
        }
        static_cast<void>(channel::sendDatagram(channel, channel::encodeReply(requestId, accepted),
                                                accepted.errorNumber == 0 ? connection.get() : -1));
    }

    UniqueFd listening_;
    std::thread thread_;
};

// A front on a fresh name, running on its own thread until destroyed, with a stand-in for
// the monitor (AcceptingMonitor): for delegates that admit without looking at the peer.
class RunningFront {
  public:
    explicit RunningFront(FrontDelegate& delegate, FrontLimits limits = {}) {
        auto socket = listenOnAbstractName(name_);
        auto channel = channel::makeChannelPair();
        if (!socket || !channel) {
            ADD_FAILURE() << "cannot listen on " << name_ << " or make a channel";
            return;
        }
        standIn_ =
            std::make_unique<AcceptingMonitor>(std::move(channel->monitorEnd), socket->get());
        monitor_ = std::make_unique<MonitorClient>(std::move(channel->frontEnd));
        server_ =
            std::make_unique<FrontServer>(std::move(socket).value(), *monitor_, delegate, limits);
        thread_ = std::thread([this] { static_cast<void>(server_->run()); });
    }
    ~RunningFront() {
        if (server_) {
            server_->stop();
            thread_.join();
        }
        server_.reset();
        monitor_.reset();  // closes the channel: the stand-in's thread ends
        standIn_.reset();
    }
    RunningFront(const RunningFront&) = delete;
    RunningFront& operator=(const RunningFront&) = delete;

    [[nodiscard]] const std::string& name() const { return name_; }

  private:
    std::string name_ = uniqueServiceName();
    std::unique_ptr<AcceptingMonitor> standIn_;
    std::unique_ptr<MonitorClient> monitor_;
    std::unique_ptr<FrontServer> server_;
    std::thread thread_;
};

// --- a minimal client for the tests ---

inline UniqueFd connectTo(const std::string& name) {
    auto connected = connectToAbstractName(name);
    if (!connected) {
        ADD_FAILURE() << "connect to " << name << ": " << connected.error().text();
        return UniqueFd();
    }
    return std::move(connected).value();
}

// The next reply, or nothing when the connection closed or sent something else.
inline std::optional<ReplyFrame> readReply(int fd, FrameReader& reader) {
    const auto body = readFrame(fd, reader);
    auto reply = body ? decodeReply(*body) : Unexpected(FrameError::truncated);
    return reply ? std::optional(std::move(reply).value()) : std::nullopt;
}

// Connects and reads the HELLO; an invalid fd when no HELLO came.
inline UniqueFd connectAndGreet(const std::string& name, FrameReader& reader) {
    UniqueFd fd = connectTo(name);
    const auto hello = fd ? readFrame(fd.get(), reader) : std::nullopt;
    if (!hello || decodeHello(*hello) != protocolVersion) {
        ADD_FAILURE() << "no HELLO from " << name;
        return UniqueFd();
    }
    return fd;
}

inline void sendCall(int fd, std::uint64_t callId, CallSelector selector,
                     const std::string& argument) {
    const auto frame = encodeCall(CallFrame{callId, selector, argument});
    ASSERT_TRUE(frame.has_value());
    ASSERT_TRUE(sendAll(fd, *frame).has_value());
}

// True when the peer closed the connection without sending anything further.
inline bool closesWithoutData(int fd, FrameReader& reader) {
    if (!reader.atFrameBoundary()) {
        return false;
    }
    std::string chunk;
    const auto received = receiveSome(fd, chunk, 65536);
    // A reset counts as closed too: the listener may close with our bytes still unread.
    return received ? chunk.empty() : received.error().errorNumber == ECONNRESET;
}

}  // namespace tavelin::testing
