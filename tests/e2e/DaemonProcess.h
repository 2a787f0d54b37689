#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UniqueFd.h"

namespace tavelin::e2e {

// The real daemon binary, socket-activated: the test listens on `serviceName` and the
// daemon gets that socket as descriptor 3 with LISTEN_FDS=1 and LISTEN_PID=its pid. Its
// stderr (the log) is collected line by line. Destroying it kills (SIGKILL) and reaps it.
class DaemonProcess {
public:
    // Nothing (with a reason in `whyNot`) unless the daemon wrote its start line.
    [[nodiscard]] static std::unique_ptr<DaemonProcess> start(const std::string& daemonPath,
                                                              const std::string& serviceName,
                                                              std::string& whyNot);
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;
    ~DaemonProcess();

    [[nodiscard]] const std::string& serviceName() const noexcept { return serviceName_; }
    // Every complete log line so far, without its line feed.
    [[nodiscard]] std::vector<std::string> lines() const;
    // Waits until `count` lines match (or the log ends, or the safety limit passes, which
    // the test then sees as missing lines); the matching lines.
    std::vector<std::string> waitForLines(const std::function<bool(const std::string&)>& matches,
                                          std::size_t count = 1) const;
    [[nodiscard]] bool isRunning() const;

    static constexpr std::chrono::seconds safetyLimit{60};

private:
    DaemonProcess(pid_t pid, std::string serviceName, UniqueFd logPipe);
    void collectLog(const UniqueFd& logPipe);

    pid_t pid_;
    std::string serviceName_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool logClosed_ = false;
    std::thread logReader_;
};

}  // namespace tavelin::e2e
