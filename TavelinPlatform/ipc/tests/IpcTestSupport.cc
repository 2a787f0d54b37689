#include "IpcTestSupport.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <variant>

#include "UnixSocket.h"

namespace tavelin::testing {

std::string uniqueServiceName() {
    static std::atomic<int> counter{0};
    return "de.morvane.Tavelin.helper.test." + std::to_string(::getpid()) + "." +
           std::to_string(counter.fetch_add(1));
}

void Gate::open() {
    {
        const std::lock_guard lock(mutex_);
        open_ = true;
    }
    opened_.notify_all();
}

void Gate::wait() {
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
}

bool Gate::isOpen() {
    const std::lock_guard lock(mutex_);
    return open_;
}

EchoService::EchoService(ServiceProbe& probe) : probe_(probe) {
    ++probe_.servicesAlive;
}

EchoService::~EchoService() {
    --probe_.servicesAlive;
}

void EchoService::helperVersion(const VersionReply& reply) {
    ++probe_.callsStarted;
    reply("0.0.1");
    ++probe_.callsFinished;
}

void EchoService::perform(std::string_view operationJSON, const DataReply& reply) {
    ++probe_.callsStarted;
    if (operationJSON == "block") {
        probe_.blockEntered.open();
        probe_.blockRelease.wait();
    }
    reply("echo:" + std::string(operationJSON));
    ++probe_.callsFinished;
    if (operationJSON == "block") {
        probe_.blockLeft.open();
    }
}

std::unique_ptr<PrivilegedHelperProtocol> TestDelegate::shouldAcceptNewConnection(
    const PeerProcess& peer) {
    lastPeerPid = peer.pid;
    if (gated_) {
        admissionGate.wait();
    }
    if (!admit_) {
        return nullptr;
    }
    ++admissions;
    return std::make_unique<EchoService>(probe_);
}

RunningListener::RunningListener(ListenerDelegate& delegate, std::size_t workers)
    : name_(uniqueServiceName()) {
    auto socket = listenOnAbstractName(name_);
    if (!std::holds_alternative<UniqueFd>(socket)) {
        ADD_FAILURE() << "cannot listen on " << name_ << ": "
                      << std::get<SystemError>(socket).text();
        return;
    }
    listener_ =
        std::make_unique<Listener>(std::get<UniqueFd>(std::move(socket)), delegate, workers);
    thread_ = std::thread([this] { listener_->run(); });
}

RunningListener::~RunningListener() {
    if (listener_) {
        listener_->stop();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

UniqueFd connectTo(const std::string& name) {
    auto connected = connectToAbstractName(name);
    if (auto* error = std::get_if<SystemError>(&connected)) {
        ADD_FAILURE() << "connect to " << name << ": " << error->text();
        return UniqueFd();
    }
    return std::get<UniqueFd>(std::move(connected));
}

std::optional<std::string> readFrame(int fd, FrameReader& reader) {
    std::string chunk;
    for (;;) {
        if (auto body = reader.next()) {
            return body;
        }
        if (reader.failed() || receiveSome(fd, chunk, 65536) || chunk.empty()) {
            return std::nullopt;
        }
        reader.append(chunk);
    }
}

UniqueFd connectAndGreet(const std::string& name, FrameReader& reader) {
    UniqueFd fd = connectTo(name);
    if (!fd) {
        return fd;
    }
    const auto hello = readFrame(fd.get(), reader);
    if (!hello || decodeHello(*hello) != std::variant<std::uint8_t, FrameError>(protocolVersion)) {
        ADD_FAILURE() << "no HELLO from " << name;
        return UniqueFd();
    }
    return fd;
}

void sendCall(int fd, std::uint64_t callId, CallSelector selector, const std::string& argument) {
    const auto frame = encodeCall(CallFrame{callId, selector, argument});
    ASSERT_TRUE(frame.has_value());
    ASSERT_FALSE(sendAll(fd, *frame).has_value());
}

bool closesWithoutData(int fd, FrameReader& reader) {
    if (!reader.atFrameBoundary()) {
        return false;
    }
    std::string chunk;
    const auto error = receiveSome(fd, chunk, 65536);
    // A reset counts as closed too: the daemon may close with our bytes still unread.
    return (error && error->errorNumber == ECONNRESET) || (!error && chunk.empty());
}

}  // namespace tavelin::testing
