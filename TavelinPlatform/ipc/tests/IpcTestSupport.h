#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "Frame.h"
#include "Listener.h"
#include "UniqueFd.h"

namespace tavelin::testing {

// A fresh abstract name for one test's listener, never the daemon's own.
[[nodiscard]] std::string uniqueServiceName();

// A one-way latch: wait() blocks until open() was called.
class Gate {
public:
    void open();
    void wait();
    [[nodiscard]] bool isOpen();

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// What the test services share with the test: how many calls they ran, and the gates that
// a call with the argument "block" passes through.
struct ServiceProbe {
    std::atomic<int> callsStarted{0};
    std::atomic<int> callsFinished{0};
    std::atomic<int> servicesAlive{0};
    Gate blockEntered;   // opened when a "block" call has started
    Gate blockRelease;   // a "block" call waits for this before answering
    Gate blockLeft;      // opened when a "block" call has answered and counted itself
};

// Answers "0.0.1" to helperVersion and "echo:<argument>" to perform.
class EchoService final : public PrivilegedHelperProtocol {
public:
    explicit EchoService(ServiceProbe& probe);
    ~EchoService() override;
    EchoService(const EchoService&) = delete;
    EchoService& operator=(const EchoService&) = delete;

    void helperVersion(const VersionReply& reply) override;
    void perform(std::string_view operationJSON, const DataReply& reply) override;

private:
    ServiceProbe& probe_;
};

// Admits every peer (or none), optionally only after a gate has been opened.
class TestDelegate final : public ListenerDelegate {
public:
    explicit TestDelegate(ServiceProbe& probe, bool admit = true) : probe_(probe), admit_(admit) {}

    std::unique_ptr<PrivilegedHelperProtocol> shouldAcceptNewConnection(
        const PeerProcess& peer) override;

    Gate admissionGate;  // open by default unless closeGate() was called first
    void closeGate() { gated_ = true; }
    std::atomic<int> admissions{0};
    std::atomic<pid_t> lastPeerPid{0};

private:
    ServiceProbe& probe_;
    bool admit_;
    std::atomic<bool> gated_{false};
};

// A Listener on a fresh name, running on its own thread until destroyed.
class RunningListener {
public:
    explicit RunningListener(ListenerDelegate& delegate, std::size_t workers = 8);
    ~RunningListener();
    RunningListener(const RunningListener&) = delete;
    RunningListener& operator=(const RunningListener&) = delete;

    [[nodiscard]] const std::string& name() const { return name_; }

private:
    std::string name_;
    std::unique_ptr<Listener> listener_;
    std::thread thread_;
};

// --- a minimal client for the tests ---

[[nodiscard]] UniqueFd connectTo(const std::string& name);
// The next frame body, or nothing when the connection closed (or broke) first.
[[nodiscard]] std::optional<std::string> readFrame(int fd, FrameReader& reader);
// Connects and reads the HELLO; an invalid fd when no HELLO came.
[[nodiscard]] UniqueFd connectAndGreet(const std::string& name, FrameReader& reader);
void sendCall(int fd, std::uint64_t callId, CallSelector selector, const std::string& argument);
// True when the peer closed the connection without sending anything further.
[[nodiscard]] bool closesWithoutData(int fd, FrameReader& reader);

}  // namespace tavelin::testing
